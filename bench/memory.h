#ifndef COLLECT_FILE_BENCH_MEMORY_H
#define COLLECT_FILE_BENCH_MEMORY_H

// Whether this process was started as the memory-measuring child.
bool isRssChild(int argc, char** argv);
// The child's work: writes and reads a file, prints its peak resident size in KiB.
int runRssChild(char** argv);
// Peak resident sizes in KiB of the child for a 1 MiB and a 512 MiB file; -1 where it failed.
struct MemoryPeaks {
    long small;
    long large;
};
// Starts the child for a small and a large file and prints both peaks and the growth.
MemoryPeaks printMemory(const char* self);

#endif  // COLLECT_FILE_BENCH_MEMORY_H
