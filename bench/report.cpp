// The benchmark program: generates the workloads, runs every registered benchmark (Google
// Benchmark's own table, with the median, standard deviation and coefficient of variation of
// five repetitions), then prints the comparison rows, the scaling runs and the memory check.
//
// Usage: collect_file_bench [--benchmark_filter=...] [other Google Benchmark flags]
// COLLECT_FILE_BENCH_DIR chooses the folder for the files (default: a fresh one in /dev/shm,
// or in /tmp where /dev/shm is missing).

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "bench_support.h"
#include "memory.h"

namespace {

// Keeps the median and the coefficient of variation of every benchmark's per-item time while
// the console reporter prints as usual.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Aggregate || run.error_occurred) {
                continue;
            }
            const auto items = run.counters.find("items_per_second");
            if (items == run.counters.end()) {
                continue;
            }
            Summary& summary = summaries_[run.run_name.function_name];
            if (run.aggregate_name == "median") {
                summary.nsPerItem = 1e9 / items->second.value;
                const auto bytes = run.counters.find("bytes_per_second");
                summary.megabytesPerSecond =
                    bytes != run.counters.end() ? bytes->second.value / 1e6 : 0;
            } else if (run.aggregate_name == "cv") {
                summary.spread = items->second.value;
            }
        }
    }

    struct Summary {
        double nsPerItem = 0;
        double megabytesPerSecond = 0;
        double spread = 0;  // run-to-run coefficient of variation
    };

    // The summary of a benchmark that ran, or nullptr.
    const Summary* find(const std::string& name) const {
        const auto it = summaries_.find(name);
        return it == summaries_.end() || it->second.nsPerItem == 0 ? nullptr : &it->second;
    }

  private:
    std::map<std::string, Summary> summaries_;
};

// Groups in the order the table shows them.
int groupOf(const std::string& name) {
    static const char* const groups[] = {"write/", "read/", "seek/", "object/"};
    for (int i = 0; i < 4; ++i) {
        if (name.rfind(groups[i], 0) == 0) {
            return i;
        }
    }
    return 4;
}

void printComparison(const SummaryReporter& reporter) {
    std::vector<Comparison> rows = comparisons();
    std::stable_sort(rows.begin(), rows.end(), [](const Comparison& a, const Comparison& b) {
        return groupOf(a.library) < groupOf(b.library);
    });
    std::printf(
        "\nComparison (medians of %d repetitions; ratio of the times per item, lower is "
        "better, with the spread of the two runs combined)\n\n",
        kRepetitions);
    std::printf("%-40s %10s   %-44s %10s %8s %7s  %s\n", "library form", "ns/item", "against",
                "ns/item", "ratio", "spread", "target");
    for (const Comparison& row : rows) {
        const SummaryReporter::Summary* library = reporter.find(row.library);
        const SummaryReporter::Summary* reference = reporter.find(row.reference);
        if (library == nullptr || reference == nullptr) {
            std::printf("%-40s %10s   %-44s %10s %8s\n", row.library.c_str(),
                        library == nullptr ? "missing" : "", row.reference.c_str(),
                        reference == nullptr ? "missing" : "", "");
            continue;
        }
        const double ratio = library->nsPerItem / reference->nsPerItem;
        const double spread = std::hypot(library->spread, reference->spread);
        std::string target;
        if (row.target > 0) {
            char text[32];
            std::snprintf(text, sizeof text, "<= %.2f %s", row.target,
                          ratio <= row.target ? "met" : "MISSED");
            target = text;
        }
        std::printf("%-40s %10.1f   %-44s %10.1f %7.2fx %6.1f%%  %s\n", row.library.c_str(),
                    library->nsPerItem, row.reference.c_str(), reference->nsPerItem, ratio,
                    spread * 100, target.c_str());
    }
    std::printf("\nScaling: write and read back through the library\n");
    for (int megabytes : {1, 64, 512}) {
        const std::string name = "scale/writeLine+readLine/" + std::to_string(megabytes);
        if (const SummaryReporter::Summary* s = reporter.find(name)) {
            std::printf("  %4d MiB file: %7.1f ns/line %8.0f MB/s\n", megabytes, s->nsPerItem,
                        s->megabytesPerSecond);
        } else {
            std::printf("  %4d MiB file: missing\n", megabytes);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (isRssChild(argc, argv)) {
        return runRssChild(argv);
    }
    benchmark::Initialize(&argc, argv);
    makeBenchFolder();
    std::printf("Files in %s (page cache); generating workloads with a fixed seed...\n",
                benchFolder().c_str());
    if (!prepareWorkloads()) {
        return 1;
    }
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printComparison(reporter);
    printMemory("/proc/self/exe");
    removeWorkloadFiles();
    unlink((benchFolder() + "/small.collect").c_str());
    if (std::getenv("COLLECT_FILE_BENCH_DIR") == nullptr) {
        rmdir(benchFolder().c_str());
    }
    benchmark::Shutdown();
    return 0;
}
