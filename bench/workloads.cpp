// The generated workloads and their files, and the registry that the benchmark files fill.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include "bench_support.h"

namespace {

std::vector<Workload>& workloads() {
    static std::vector<Workload> all;
    return all;
}

// Writes the workload's file with write(2) in 64 KiB blocks.
bool writeFile(const Workload& w) {
    const int fd = open(w.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        return false;
    }
    std::string block;
    bool ok = true;
    for (size_t i = 0; i < w.count(); ++i) {
        if (block.size() + w.length(i) + 1 > kBlockSize) {
            ok &= write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size());
            block.clear();
        }
        block.append(w.text(i), w.length(i));
        block += '\n';
    }
    ok &= write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size());
    return close(fd) == 0 && ok;
}

}  // namespace

std::string& benchFolder() {
    static std::string folder;
    return folder;
}

void makeBenchFolder() {
    if (const char* chosen = std::getenv("COLLECT_FILE_BENCH_DIR")) {
        benchFolder() = chosen;
        return;
    }
    char shm[] = "/dev/shm/collect_file_bench.XXXXXX";
    char tmp[] = "/tmp/collect_file_bench.XXXXXX";
    const char* made = mkdtemp(shm);
    if (made == nullptr) {
        made = mkdtemp(tmp);
    }
    if (made == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    benchFolder() = made;
}

Workload makeWorkload(const std::string& name, size_t lines, size_t minLength, size_t maxLength,
                      uint64_t seed) {
    Workload w;
    w.name = name;
    std::mt19937_64 random(seed);
    std::uniform_int_distribution<size_t> length(minLength, maxLength);
    std::uniform_int_distribution<int> letter(' ', '~');
    w.starts.reserve(lines);
    w.offsets.reserve(lines + 1);
    for (size_t i = 0; i < lines; ++i) {
        const size_t n = length(random);
        w.starts.push_back(static_cast<uint32_t>(w.arena.size()));
        w.offsets.push_back(w.fileBytes);
        for (size_t j = 0; j < n; ++j) {
            w.arena.push_back(static_cast<char>(letter(random)));
        }
        w.arena.push_back('\0');
        w.fileBytes += n + 1;
    }
    w.offsets.push_back(w.fileBytes);
    w.path = benchFolder() + "/" + name + ".collect";
    return w;
}

bool prepareWorkloads() {
    workloads().push_back(makeWorkload("headline", 1000000, 20, 160, 1));
    workloads().push_back(makeWorkload("short", 1000000, 7, 7, 2));
    workloads().push_back(makeWorkload("long", 20000, 2000, 2000, 3));
    for (const Workload& w : workloads()) {
        if (!writeFile(w)) {
            std::fprintf(stderr, "cannot write %s\n", w.path.c_str());
            return false;
        }
    }
    return true;
}

void removeWorkloadFiles() {
    for (const Workload& w : workloads()) {
        unlink(w.path.c_str());
    }
}

const Workload& workload(const std::string& name) {
    for (const Workload& w : workloads()) {
        if (w.name == name) {
            return w;
        }
    }
    std::fprintf(stderr, "no workload %s\n", name.c_str());
    std::exit(2);
}

const std::vector<uint32_t>& randomLookups() {
    static const std::vector<uint32_t> lines = [] {
        std::mt19937_64 random(11);
        std::uniform_int_distribution<uint32_t> line(0, workload("headline").count() - 2);
        std::vector<uint32_t> chosen(kOperationCount);
        for (uint32_t& i : chosen) {
            i = line(random);
        }
        return chosen;
    }();
    return lines;
}

const std::vector<uint32_t>& nearbyLookups() {
    static const std::vector<uint32_t> lines = [] {
        std::mt19937_64 random(12);
        std::uniform_int_distribution<uint32_t> step(1, 8);
        std::vector<uint32_t> chosen(kOperationCount);
        uint32_t i = 0;
        for (uint32_t& next : chosen) {
            i += step(random);
            next = i;
        }
        return chosen;
    }();
    return lines;
}

std::vector<Comparison>& comparisons() {
    static std::vector<Comparison> rows;
    return rows;
}

int registerTable(const std::vector<BenchmarkEntry>& entries) {
    for (const BenchmarkEntry& entry : entries) {
        benchmark::RegisterBenchmark(entry.name.c_str(), entry.run)
            ->Unit(entry.unit)
            ->Repetitions(kRepetitions)
            ->ReportAggregatesOnly(true)
            ->UseRealTime();
        for (Comparison row : entry.against) {
            row.library = entry.name;
            comparisons().push_back(row);
        }
    }
    return static_cast<int>(entries.size());
}
