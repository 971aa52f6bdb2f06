#ifndef COLLECT_FILE_BENCH_BENCH_SUPPORT_H
#define COLLECT_FILE_BENCH_BENCH_SUPPORT_H

// What the benchmark files share: the generated workloads, the folder their files live in, and
// the table that registers each benchmark together with the comparison rows it appears in.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

constexpr size_t kBlockSize = 65536;
constexpr int kRepetitions = 5;
// Lookups of each kind, and the OpenFile + Close pairs whose system calls are counted.
constexpr size_t kOperationCount = 100000;

// Lines of one workload, stored as NUL-terminated texts without their newline.
struct Workload {
    std::string name;
    std::string arena;
    std::vector<uint32_t> starts;   // where each text starts in the arena
    std::vector<uint64_t> offsets;  // where each line starts in the file
    size_t fileBytes = 0;           // the texts plus one newline each
    std::string path;               // the file every reader reads

    const char* text(size_t i) const { return arena.data() + starts[i]; }
    size_t length(size_t i) const { return offsets[i + 1] - offsets[i] - 1; }
    size_t count() const { return starts.size(); }
};

// The folder of the benchmark files: COLLECT_FILE_BENCH_DIR, or a fresh one in /dev/shm (/tmp
// where /dev/shm is missing).
std::string& benchFolder();
void makeBenchFolder();

// Generates the workloads and writes the files the readers read: the headline (1,000,000 lines
// of 20 to 160 bytes), short (1,000,000 lines of 7 bytes) and long (20,000 lines of 2,000 bytes).
bool prepareWorkloads();
void removeWorkloadFiles();
Workload makeWorkload(const std::string& name, size_t lines, size_t minLength, size_t maxLength,
                      uint64_t seed);
// A prepared workload by name; exits when there is none.
const Workload& workload(const std::string& name);

// Indices of the headline lines that the lookup benchmarks go back to: 100,000 at random, and
// 100,000 that walk forwards a few lines at a time, as a client reading one section does.
const std::vector<uint32_t>& randomLookups();
const std::vector<uint32_t>& nearbyLookups();

// For a count of system calls (scripts/bench runs these under strace -c): the library's 100,000
// lookups of one kind ("random" or "nearby") once each, or 100,000 OpenFile + Close of a small
// file. False when a call failed or the kind is unknown.
bool runLibraryLookups(const std::string& kind);
bool runLibraryOpens(size_t count);
// The same with collect_file::Reader: seek and next, or open and destroy.
bool runReaderLookups(const std::string& kind);
bool runReaderOpens(size_t count);

// A comparison row of the summary: the benchmark `library` against `reference`, with a target
// ratio (0: for information). A table entry names only the reference and the target; the entry
// is the library side.
struct Comparison {
    std::string reference;
    double target;
    std::string library = "";
};
// Every comparison row, in the order registered.
std::vector<Comparison>& comparisons();

// One benchmark of a table: its name, the function it runs, and the benchmarks it is compared
// with in the summary.
struct BenchmarkEntry {
    std::string name;
    std::function<void(benchmark::State&)> run;
    std::vector<Comparison> against = {};
    benchmark::TimeUnit unit = benchmark::kMillisecond;
};

// Registers every entry with the repetitions and units all benchmarks share, and adds a
// comparison row for each benchmark an entry is compared with. Returns the number registered, so
// that a file can register its table at load time: static const int registered =
// registerTable({...}).
int registerTable(const std::vector<BenchmarkEntry>& entries);

// A loop that reads the file at path front to back and returns the lines it saw
// (read_bench.cpp's loops; readWithReadLineOffset is the class's readLine(line, offset)).
using ReadLoop = size_t (*)(const std::string& path);
// A loop that writes the workload's lines to path and closes it; true when it all succeeded.
using WriteLoop = bool (*)(const Workload& w, const std::string& path);
size_t readWithReadLineOffset(const std::string& path);
// The safe interface's loop: Reader::next until it returns false (safe_bench.cpp).
size_t readWithReader(const std::string& path);
// Reads the named workload's file with loop, each iteration the whole file.
std::function<void(benchmark::State&)> benchRead(const std::string& name, ReadLoop loop);
// Writes the named workload's lines with loop into a fresh file, each iteration.
std::function<void(benchmark::State&)> benchWrite(const std::string& name, WriteLoop loop);

#endif  // COLLECT_FILE_BENCH_BENCH_SUPPORT_H
