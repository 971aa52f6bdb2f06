// Two builds of the library side by side in one process: each shared library is loaded with
// dlopen under its own path, its members called through their exported names, and the two are
// called in turns on the same files, round after round, each round timed in the thread's CPU
// time (which other processes on a busy machine disturb less than the clock). Prints, per
// operation, the fastest round of each build and the median and range of the rounds' new / old
// ratios, and OpenFile + Close against std::ifstream in the same rounds.
//
// Usage: collect_file_side_by_side OLD_LIBRARY NEW_LIBRARY [ROUNDS]
// (for example a libcollect_file.so.1 built from an older commit, and build-bench's). The files
// go to COLLECT_FILE_BENCH_DIR, or /dev/shm. Both builds must have the class's layout of major
// version 1 and be built with libstdc++, whose names this program calls them by.

#include <dlfcn.h>
#include <stdint.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

enum AccessMode : int32_t { ACCESS_READ = 1 };

// The members used, by their exported names.
struct Build {
    const char* name;
    void (*construct)(void*);
    void (*destroy)(void*);
    bool (*openFile)(void*, const std::string&, AccessMode);
    bool (*close)(void*);
    bool (*seek)(void*, unsigned long);
    bool (*readLine)(void*, std::string&);
    bool (*readShortLine)(void*, char*);
};

void* symbol(void* library, const char* name) {
    void* found = dlsym(library, name);
    if (found == nullptr) {
        std::fprintf(stderr, "no %s\n", name);
        std::exit(1);
    }
    return found;
}

template <class Function>
Function member(void* library, const char* name) {
    return reinterpret_cast<Function>(symbol(library, name));
}

Build load(const char* name, const char* path) {
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        std::exit(1);
    }
    using Object = void*;
    return {name,
            member<void (*)(Object)>(library, "_ZN23CollectFileReaderWriterC1Ev"),
            member<void (*)(Object)>(library, "_ZN23CollectFileReaderWriterD1Ev"),
            member<bool (*)(Object, const std::string&, AccessMode)>(
                library,
                "_ZN23CollectFileReaderWriter8OpenFileERKNSt7__cxx1112basic_stringIcSt11char_"
                "traitsIcESaIcEEE10AccessMode"),
            member<bool (*)(Object)>(library, "_ZN23CollectFileReaderWriter5CloseEv"),
            member<bool (*)(Object, unsigned long)>(library, "_ZN23CollectFileReaderWriter4seekEm"),
            member<bool (*)(Object, std::string&)>(
                library,
                "_ZN23CollectFileReaderWriter8readLineERNSt7__cxx1112basic_stringIcSt11char_"
                "traitsIcESaIcEEE"),
            member<bool (*)(Object, char*)>(library, "_ZN23CollectFileReaderWriter8readLineEPc")};
}

// Room for one object of either build (about 129 KiB), and for a batch of them.
constexpr size_t kObjectRoom = 140000;
constexpr int kBatch = 64;
alignas(64) char objects[kBatch][kObjectRoom];

double threadSeconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Writes 1,000,000 lines of minLength to maxLength bytes; returns where each starts.
std::vector<unsigned long> writeLines(const std::string& path, size_t minLength, size_t maxLength) {
    std::mt19937 random(1);
    std::ofstream out(path);
    std::vector<unsigned long> starts;
    unsigned long at = 0;
    for (int i = 0; i < 1000000; ++i) {
        const size_t length = minLength + random() % (maxLength - minLength + 1);
        starts.push_back(at);
        out << std::string(length, static_cast<char>('a' + i % 26)) << '\n';
        at += length + 1;
    }
    return starts;
}

enum Operation { kLookup, kOpenClose, kShortLines, kHeadlineLines, kOperations };
const char* const kOperationNames[kOperations] = {
    "random lookup (seek + readLine)", "OpenFile + Close", "readLine(char*), 7-byte lines",
    "readLine(line), 20-160 bytes"};

// One round of every operation through build; seconds per item into seconds[operation].
void runRound(const Build& build, const std::string& headline, const std::string& shortLines,
              const std::vector<unsigned long>& targets, double seconds[kOperations]) {
    void* const object = objects[0];
    std::string line;

    build.construct(object);
    build.openFile(object, headline, ACCESS_READ);
    double start = threadSeconds();
    for (unsigned long target : targets) {
        if (!build.seek(object, target) || !build.readLine(object, line)) {
            std::fprintf(stderr, "%s: a lookup failed\n", build.name);
            std::exit(1);
        }
    }
    seconds[kLookup] = (threadSeconds() - start) / static_cast<double>(targets.size());
    build.destroy(object);

    double total = 0;
    const int kBatches = 100;
    for (int batch = 0; batch < kBatches; ++batch) {
        for (auto& room : objects) {
            build.construct(room);
        }
        start = threadSeconds();
        for (auto& room : objects) {
            build.openFile(room, shortLines, ACCESS_READ);
            build.close(room);
        }
        total += threadSeconds() - start;
        for (auto& room : objects) {
            build.destroy(room);
        }
    }
    seconds[kOpenClose] = total / (kBatches * kBatch);

    char shortLine[8];
    long lines = 0;
    build.construct(object);
    build.openFile(object, shortLines, ACCESS_READ);
    start = threadSeconds();
    while (!build.readShortLine(object, shortLine)) {
        ++lines;
    }
    seconds[kShortLines] = (threadSeconds() - start) / static_cast<double>(lines);
    build.destroy(object);

    lines = 0;
    build.construct(object);
    build.openFile(object, headline, ACCESS_READ);
    start = threadSeconds();
    while (build.readLine(object, line)) {
        ++lines;
    }
    seconds[kHeadlineLines] = (threadSeconds() - start) / static_cast<double>(lines);
    build.destroy(object);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OLD_LIBRARY NEW_LIBRARY [ROUNDS]\n", argv[0]);
        return 2;
    }
    const Build builds[2] = {load("old", argv[1]), load("new", argv[2])};
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 31;
    const char* folder = std::getenv("COLLECT_FILE_BENCH_DIR");
    const std::string base = std::string(folder != nullptr ? folder : "/dev/shm") +
                             "/collect_file_side_by_side." + std::to_string(getpid());
    const std::string headline = base + ".headline";
    const std::string shortLines = base + ".short";
    const std::vector<unsigned long> starts = writeLines(headline, 20, 160);
    writeLines(shortLines, 7, 7);
    std::mt19937_64 random(11);
    std::vector<unsigned long> targets(100000);
    for (unsigned long& target : targets) {
        target = starts[random() % (starts.size() - 1)];
    }

    std::vector<double> seconds[kOperations][2];
    std::vector<double> ifstreamSeconds;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const int which = (round + turn) % 2;  // who goes first alternates
            double measured[kOperations];
            runRound(builds[which], headline, shortLines, targets, measured);
            for (int operation = 0; operation < kOperations; ++operation) {
                seconds[operation][which].push_back(measured[operation]);
            }
        }
        std::ifstream stream;
        const int kOpens = 6400;
        const double start = threadSeconds();
        for (int i = 0; i < kOpens; ++i) {
            stream.open(shortLines);
            stream.close();
        }
        ifstreamSeconds.push_back((threadSeconds() - start) / kOpens);
    }
    unlink(headline.c_str());
    unlink(shortLines.c_str());

    std::printf("%d rounds, thread CPU time; new / old: fastest rounds, median round (range)\n",
                rounds);
    for (int operation = 0; operation < kOperations; ++operation) {
        const std::vector<double>& old = seconds[operation][0];
        const std::vector<double>& now = seconds[operation][1];
        std::vector<double> ratios;
        for (int round = 0; round < rounds; ++round) {
            ratios.push_back(now[round] / old[round]);
        }
        const double oldFastest = *std::min_element(old.begin(), old.end());
        const double newFastest = *std::min_element(now.begin(), now.end());
        std::printf("%-33s old %8.1f ns  new %8.1f ns  %.2fx  %.2fx (%.2fx to %.2fx)\n",
                    kOperationNames[operation], oldFastest * 1e9, newFastest * 1e9,
                    newFastest / oldFastest, median(ratios),
                    *std::min_element(ratios.begin(), ratios.end()),
                    *std::max_element(ratios.begin(), ratios.end()));
    }
    const double ifstreamFastest =
        *std::min_element(ifstreamSeconds.begin(), ifstreamSeconds.end());
    for (int which = 0; which < 2; ++which) {
        const std::vector<double>& opens = seconds[kOpenClose][which];
        std::vector<double> ratios;
        for (int round = 0; round < rounds; ++round) {
            ratios.push_back(opens[round] / ifstreamSeconds[round]);
        }
        std::printf("OpenFile + Close, %s / ifstream: fastest rounds %.2fx, median round %.2fx\n",
                    builds[which].name,
                    *std::min_element(opens.begin(), opens.end()) / ifstreamFastest,
                    median(ratios));
    }
    return 0;
}
