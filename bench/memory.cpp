// Peak memory: the resident size of a fresh process that writes, then reads a file, for a small
// and a large file. The same executable runs as that process (--rss-child), started without a
// shell, so any folder name works.

#include "memory.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "bench_support.h"
#include "scaling.h"

extern char** environ;

namespace {

// The peak resident size of this process image so far, in KiB (VmHWM counts from the exec on).
long ownPeakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string field;
    while (status >> field) {
        if (field == "VmHWM:") {
            long kib = -1;
            status >> kib;
            return kib;
        }
    }
    return -1;
}

// Runs `self --rss-child megabytes folder` and reads the number it prints.
long peakResidentKiB(const char* self, size_t megabytes) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    const std::string size = std::to_string(megabytes);
    char* argv[] = {const_cast<char*>(self), const_cast<char*>("--rss-child"),
                    const_cast<char*>(size.c_str()), const_cast<char*>(benchFolder().c_str()),
                    nullptr};
    pid_t child;
    const int spawned = posix_spawn(&child, self, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (spawned != 0) {
        close(pipeEnds[0]);
        return -1;
    }
    FILE* output = fdopen(pipeEnds[0], "r");
    long kib = -1;
    if (output == nullptr || std::fscanf(output, "%ld", &kib) != 1) {
        kib = -1;
    }
    if (output != nullptr) {
        std::fclose(output);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? kib : -1;
}

}  // namespace

bool isRssChild(int argc, char** argv) {
    return argc == 4 && std::string(argv[1]) == "--rss-child";
}

int runRssChild(char** argv) {
    benchFolder() = argv[3];
    const Workload pool = makeWorkload("pool", 4096, 20, 160, 7);
    const std::string path = benchFolder() + "/rss.collect";
    const size_t lines = writeAndRead(pool, path, std::strtoul(argv[2], nullptr, 10) << 20);
    unlink(path.c_str());
    std::printf("%ld\n", ownPeakResidentKiB());
    return lines > 0 ? 0 : 1;
}

MemoryPeaks printMemory(const char* self) {
    const long small = peakResidentKiB(self, 1);
    const long large = peakResidentKiB(self, 512);
    std::printf(
        "\nPeak resident memory (VmHWM) of a fresh process that writes, then reads a file\n");
    std::printf("    1 MiB file: %6ld KiB\n  512 MiB file: %6ld KiB\n", small, large);
    if (small < 0 || large < 0) {
        std::printf("  the measuring child failed\n");
        return {small, large};
    }
    const long growth = large - small;
    std::printf("  growth: %ld KiB (%s: within 1 MiB)\n", growth,
                growth <= 1024 ? "flat" : "NOT flat");
    return {small, large};
}
