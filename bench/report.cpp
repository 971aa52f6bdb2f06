// The benchmark program: generates the workloads, runs every registered benchmark (Google
// Benchmark's own table, with the median, standard deviation and coefficient of variation of
// five repetitions), then prints the comparison rows, the scaling runs and the memory check.
//
// Usage: collect_file_bench [--markdown=FILE] [--benchmark_filter=...] [other Google Benchmark
// flags]. --markdown=FILE writes the comparison as a Markdown table into FILE, between the lines
// "<!-- benchmark table: begin -->" and "<!-- benchmark table: end -->", and the scaling and
// memory figures as sentences between "<!-- benchmark prose: begin -->" and its end line.
// collect_file_bench --count=lookups/random, --count=lookups/nearby, --count=open+close, or the
// same for collect_file::Reader (--count="Reader lookups/random", "Reader lookups/nearby",
// "Reader open+destroy") runs
// only the library's 100,000 operations of that kind, once, and times nothing: scripts/bench
// counts their system calls with strace -c.
// COLLECT_FILE_BENCH_DIR chooses the folder for the files (default: a fresh one in /dev/shm,
// or in /tmp where /dev/shm is missing).

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

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

// One row of the summary as measured.
struct MeasuredRow {
    Comparison comparison;
    const SummaryReporter::Summary* library;    // nullptr: did not run
    const SummaryReporter::Summary* reference;  // nullptr: did not run
    double ratio = 0;
    double spread = 0;
    std::string target = "";  // "<= 1.05 met", or empty for information
};

std::vector<MeasuredRow> measuredRows(const SummaryReporter& reporter) {
    std::vector<Comparison> rows = comparisons();
    std::stable_sort(rows.begin(), rows.end(), [](const Comparison& a, const Comparison& b) {
        return groupOf(a.library) < groupOf(b.library);
    });
    std::vector<MeasuredRow> measured;
    for (const Comparison& row : rows) {
        MeasuredRow m{row, reporter.find(row.library), reporter.find(row.reference)};
        if (m.library != nullptr && m.reference != nullptr) {
            m.ratio = m.library->nsPerItem / m.reference->nsPerItem;
            m.spread = std::hypot(m.library->spread, m.reference->spread);
            if (row.target > 0) {
                char text[32];
                std::snprintf(text, sizeof text, "<= %.2f %s", row.target,
                              m.ratio <= row.target ? "met" : "MISSED");
                m.target = text;
            }
        }
        measured.push_back(m);
    }
    return measured;
}

// Replaces what stands between the marker lines "<!-- benchmark NAME: begin -->" and
// "<!-- benchmark NAME: end -->" in the Markdown file at path with content; false when the file
// or a marker is missing.
bool replaceBetweenMarkers(const std::string& path, const std::string& name,
                           const std::string& content) {
    const std::string begin = "<!-- benchmark " + name + ": begin -->\n";
    const std::string end = "<!-- benchmark " + name + ": end -->";
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t from = text.find(begin);
    const size_t to = text.find(end);
    if (from == std::string::npos || to == std::string::npos || to < from) {
        return false;
    }
    std::ofstream out(path);
    out << text.substr(0, from + begin.size()) << content << text.substr(to);
    return static_cast<bool>(out);
}

// The summary as a Markdown table.
std::string markdownTable(const std::vector<MeasuredRow>& rows) {
    std::string table =
        "| library form | ns | against | ns | ratio | spread | target |\n"
        "|---|---:|---|---:|---:|---:|---|\n";
    for (const MeasuredRow& row : rows) {
        if (row.library == nullptr || row.reference == nullptr) {
            continue;
        }
        char line[512];
        std::snprintf(line, sizeof line, "| %s | %.1f | %s | %.1f | %.2fx | %.1f%% | %s |\n",
                      row.comparison.library.c_str(), row.library->nsPerItem,
                      row.comparison.reference.c_str(), row.reference->nsPerItem, row.ratio,
                      row.spread * 100, row.target.c_str());
        table += line;
    }
    return table;
}

// A number with thousands separators, as the docs write them.
std::string grouped(long value) {
    std::string digits = std::to_string(value);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0 && digits[i - 1] != '-'; i -= 3) {
        digits.insert(static_cast<size_t>(i), ",");
    }
    return digits;
}

// text, its words wrapped at the docs' 100 columns.
std::string wrapped(const std::string& text) {
    const size_t kColumns = 100;
    std::istringstream words(text);
    std::string result;
    std::string line;
    for (std::string word; words >> word;) {
        if (!line.empty() && line.size() + 1 + word.size() > kColumns) {
            result += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return result + line + "\n";
}

// The scaling and memory figures as the sentences of the docs.
std::string markdownProse(const SummaryReporter& reporter, const MemoryPeaks& memory) {
    std::string text = "Scaling (write, then read back through the library, headline lines):";
    const int sizes[] = {1, 64, 512};
    for (int i = 0; i < 3; ++i) {
        const SummaryReporter::Summary* s =
            reporter.find("scale/writeLine+readLine/" + std::to_string(sizes[i]));
        char part[96];
        const char* const separator = i == 0 ? " " : i == 1 ? ", " : " and ";
        if (s != nullptr) {
            std::snprintf(part, sizeof part, "%s%.1f ns a line for a %d MiB file", separator,
                          s->nsPerItem, sizes[i]);
        } else {
            std::snprintf(part, sizeof part, "%s(not run) for a %d MiB file", separator, sizes[i]);
        }
        text += part;
    }
    text += ". Peak resident memory (VmHWM) of a fresh process that writes, then reads a file: " +
            grouped(memory.small) + " KiB for 1 MiB and " + grouped(memory.large) +
            " KiB for 512 MiB.";
    return wrapped(text);
}

// Writes the table and the prose figures into the Markdown file at path, between their markers.
void writeMarkdown(const std::string& path, const SummaryReporter& reporter,
                   const MemoryPeaks& memory) {
    const bool table = replaceBetweenMarkers(path, "table", markdownTable(measuredRows(reporter)));
    const bool prose = replaceBetweenMarkers(path, "prose", markdownProse(reporter, memory));
    std::printf("\n%s %s\n",
                table && prose ? "Wrote the table and the figures into"
                               : "Could not write the table or the figures between the markers of",
                path.c_str());
}

void printComparison(const SummaryReporter& reporter) {
    const std::vector<MeasuredRow> rows = measuredRows(reporter);
    std::printf(
        "\nComparison (medians of %d repetitions; ratio of the times per item, lower is "
        "better, with the spread of the two runs combined)\n\n",
        kRepetitions);
    std::printf("%-40s %10s   %-44s %10s %8s %7s  %s\n", "library form", "ns/item", "against",
                "ns/item", "ratio", "spread", "target");
    for (const MeasuredRow& row : rows) {
        if (row.library == nullptr || row.reference == nullptr) {
            std::printf("%-40s %10s   %-44s %10s\n", row.comparison.library.c_str(),
                        row.library == nullptr ? "missing" : "", row.comparison.reference.c_str(),
                        row.reference == nullptr ? "missing" : "");
            continue;
        }
        std::printf("%-40s %10.1f   %-44s %10.1f %7.2fx %6.1f%%  %s\n",
                    row.comparison.library.c_str(), row.library->nsPerItem,
                    row.comparison.reference.c_str(), row.reference->nsPerItem, row.ratio,
                    row.spread * 100, row.target.c_str());
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

// Runs the operations that --count=WHAT names, in a folder of their own.
bool runCount(const std::string& what) {
    makeBenchFolder();
    bool ok = false;
    if (what == "open+close") {
        ok = runLibraryOpens(kOperationCount);
        unlink((benchFolder() + "/small.collect").c_str());
    } else if (what.rfind("lookups/", 0) == 0) {
        ok = prepareWorkloads() && runLibraryLookups(what.substr(8));
        removeWorkloadFiles();
    } else if (what.rfind("Reader lookups/", 0) == 0) {
        ok = prepareWorkloads() && runReaderLookups(what.substr(15));
        removeWorkloadFiles();
    } else if (what == "Reader open+destroy") {
        ok = prepareWorkloads() && runReaderOpens(kOperationCount);
        removeWorkloadFiles();
    }
    if (std::getenv("COLLECT_FILE_BENCH_DIR") == nullptr) {
        rmdir(benchFolder().c_str());
    }
    if (!ok) {
        std::fprintf(stderr, "--count=%s: unknown, or an operation failed\n", what.c_str());
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (isRssChild(argc, argv)) {
        return runRssChild(argv);
    }
    const std::string countFlag = "--count=";
    if (argc == 2 && std::string(argv[1]).rfind(countFlag, 0) == 0) {
        return runCount(argv[1] + countFlag.size()) ? 0 : 1;
    }
    // --markdown=FILE: also write the comparison into FILE, between its marker lines.
    std::string markdownPath;
    const std::string markdownFlag = "--markdown=";
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]).rfind(markdownFlag, 0) == 0) {
            markdownPath = argv[i] + markdownFlag.size();
            std::copy(argv + i + 1, argv + argc + 1, argv + i);
            --argc;
            break;
        }
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
    const MemoryPeaks memory = printMemory("/proc/self/exe");
    if (!markdownPath.empty()) {
        writeMarkdown(markdownPath, reporter, memory);
    }
    removeWorkloadFiles();
    unlink((benchFolder() + "/small.collect").c_str());
    if (std::getenv("COLLECT_FILE_BENCH_DIR") == nullptr) {
        rmdir(benchFolder().c_str());
    }
    benchmark::Shutdown();
    return 0;
}
