// Measures CollectFileReaderWriter against what its users would pick instead (iostreams, stdio)
// and against floors that make the same system calls with no library in between, on files that
// live in the page cache. Prints Google Benchmark's own table, then a comparison table with
// per-line nanoseconds, MB/s and ratios, then the scaling and memory checks.
//
// Usage: collect_file_bench [--benchmark_filter=...] [other Google Benchmark flags]
// COLLECT_FILE_BENCH_DIR chooses the folder for the files (default: a fresh one in /dev/shm,
// or in /tmp where /dev/shm is missing).

#include <benchmark/benchmark.h>
#include <collect_file/CollectFileReaderWriter.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr size_t kBlockSize = 65536;
constexpr int kRepetitions = 5;

// Lines of one workload, stored as NUL-terminated texts without their newline.
struct Workload {
    std::string name;
    std::string arena;
    std::vector<uint32_t> starts;
    size_t fileBytes = 0;  // the texts plus one newline each
    std::string path;      // the file every reader reads

    const char* text(size_t i) const { return arena.data() + starts[i]; }
    size_t count() const { return starts.size(); }
};

std::string benchFolder;

Workload makeWorkload(const std::string& name, size_t lines, size_t minLength, size_t maxLength,
                      uint64_t seed) {
    Workload w;
    w.name = name;
    std::mt19937_64 random(seed);
    std::uniform_int_distribution<size_t> length(minLength, maxLength);
    std::uniform_int_distribution<int> letter(' ', '~');
    w.starts.reserve(lines);
    for (size_t i = 0; i < lines; ++i) {
        const size_t n = length(random);
        w.starts.push_back(static_cast<uint32_t>(w.arena.size()));
        for (size_t j = 0; j < n; ++j) {
            w.arena.push_back(static_cast<char>(letter(random)));
        }
        w.arena.push_back('\0');
        w.fileBytes += n + 1;
    }
    w.path = benchFolder + "/" + name + ".collect";
    return w;
}

std::vector<Workload>& workloads() {
    static std::vector<Workload> all;
    return all;
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

// --- Writers -------------------------------------------------------------------------------

// The floor: the same texts copied into a 64 KiB array that is written whenever the next line
// would not fit. Like every writer here it takes NUL-terminated texts, so it measures them too.
bool writeWithSyscalls(const Workload& w, const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        return false;
    }
    static char block[kBlockSize];
    size_t fill = 0;
    bool ok = true;
    for (size_t i = 0; i < w.count(); ++i) {
        const char* text = w.text(i);
        const size_t n = std::strlen(text);
        if (fill + n + 1 > kBlockSize) {
            ok &= write(fd, block, fill) == static_cast<ssize_t>(fill);
            fill = 0;
        }
        std::memcpy(block + fill, text, n);
        fill += n;
        block[fill++] = '\n';
    }
    ok &= write(fd, block, fill) == static_cast<ssize_t>(fill);
    return close(fd) == 0 && ok;
}

bool writeWithLibrary(const Workload& w, const std::string& path) {
    CollectFileReaderWriter writer;
    if (!writer.OpenFile(path, ACCESS_WRITE)) {
        return false;
    }
    bool ok = true;
    for (size_t i = 0; i < w.count(); ++i) {
        ok &= writer.writeLine(w.text(i));
    }
    return writer.Close() && ok;
}

bool writeWithOfstream(const Workload& w, const std::string& path) {
    std::ofstream out(path);
    for (size_t i = 0; i < w.count(); ++i) {
        out << w.text(i) << '\n';
    }
    out.close();
    return !out.fail();
}

bool writeWithFputs(const Workload& w, const std::string& path) {
    FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) {
        return false;
    }
    bool ok = true;
    for (size_t i = 0; i < w.count(); ++i) {
        ok &= std::fputs(w.text(i), out) >= 0;
        ok &= std::fputc('\n', out) != EOF;
    }
    return std::fclose(out) == 0 && ok;
}

using Writer = bool (*)(const Workload&, const std::string&);

void benchWrite(benchmark::State& state, const std::string& name, Writer writer) {
    const Workload& w = workload(name);
    const std::string path = benchFolder + "/write-" + name + ".collect";
    for (auto _ : state) {
        state.PauseTiming();
        unlink(path.c_str());  // every run creates its file afresh
        state.ResumeTiming();
        if (!writer(w, path)) {
            state.SkipWithError("write failed");
            break;
        }
    }
    if (CollectFileReaderWriter::getFileSize(path) != w.fileBytes) {
        state.SkipWithError("the file does not have the expected size");
    }
    unlink(path.c_str());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * w.count()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.fileBytes));
}

// --- Readers: each returns the number of lines it read --------------------------------------

size_t readWithReadLine(const std::string& path) {
    CollectFileReaderWriter reader;
    reader.OpenFile(path, ACCESS_READ);
    std::string line;
    size_t lines = 0;
    while (reader.readLine(line)) {
        ++lines;
    }
    benchmark::DoNotOptimize(line.data());
    return lines;
}

size_t readWithReadLineOk(const std::string& path) {
    CollectFileReaderWriter reader;
    reader.OpenFile(path, ACCESS_READ);
    size_t lines = 0;
    bool ok = true;
    while (true) {
        std::string line = reader.readLine(ok);
        if (!ok) {
            break;
        }
        benchmark::DoNotOptimize(line.data());
        ++lines;
    }
    return lines;
}

size_t readWithReadLineOffset(const std::string& path) {
    CollectFileReaderWriter reader;
    reader.OpenFile(path, ACCESS_READ);
    std::string line;
    unsigned long offset = 0;
    size_t lines = 0;
    while (reader.readLine(line, offset)) {
        benchmark::DoNotOptimize(offset);
        ++lines;
    }
    return lines;
}

size_t readWithReadLineShort(const std::string& path) {
    CollectFileReaderWriter reader;
    reader.OpenFile(path, ACCESS_READ);
    char line[CollectFileReaderWriter::kShortLineReadLimit];
    size_t lines = 0;
    while (!reader.readLine(line)) {
        benchmark::DoNotOptimize(line);
        ++lines;
    }
    return lines;
}

// What a reader returns when it read the whole file without counting its lines.
constexpr size_t kReadThrough = static_cast<size_t>(-1);

size_t readWithReadDataFromFile(const std::string& path) {
    CollectFileReaderWriter reader;
    reader.OpenFile(path, ACCESS_READ);
    return reader.ReadDataFromFile() ? kReadThrough : 0;
}

size_t readWithStdGetline(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    size_t lines = 0;
    while (std::getline(in, line)) {
        ++lines;
    }
    benchmark::DoNotOptimize(line.data());
    return lines;
}

size_t readWithFgets(const std::string& path) {
    FILE* in = std::fopen(path.c_str(), "r");
    char line[CollectFileReaderWriter::kLineReadLimit];
    size_t lines = 0;
    while (std::fgets(line, sizeof line, in) != nullptr) {
        ++lines;
    }
    std::fclose(in);
    return lines;
}

// Floor of every reader: 64 KiB blocks read with read(2), newlines found with memchr.
size_t readWithSyscalls(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    static char block[kBlockSize];
    size_t lines = 0;
    ssize_t got;
    while ((got = read(fd, block, sizeof block)) > 0) {
        const char* p = block;
        const char* end = block + got;
        while ((p = static_cast<const char*>(std::memchr(p, '\n', end - p))) != nullptr) {
            ++lines;
            ++p;
        }
    }
    close(fd);
    return lines;
}

// Floor of ReadDataFromFile: the stream's bounded line read in a bare loop.
size_t readWithBoundedGetline(const std::string& path) {
    std::fstream in(path, std::ios_base::in);
    char line[CollectFileReaderWriter::kLineReadLimit];
    size_t lines = 0;
    while (in.getline(line, sizeof line)) {
        ++lines;
    }
    return lines;
}

// Floor of readLine(line): the bounded line read, the NUL scan and one copy.
size_t readWithBoundedGetlineCopy(const std::string& path) {
    std::fstream in(path, std::ios_base::in);
    char buffer[CollectFileReaderWriter::kLineReadLimit];
    std::string line;
    size_t lines = 0;
    while (in.getline(buffer, sizeof buffer)) {
        line.assign(buffer);
        ++lines;
    }
    benchmark::DoNotOptimize(line.data());
    return lines;
}

// Floor of readLine(line, offset) with the stream alone: the bounded line read, then the
// stream's position report.
size_t readWithBoundedGetlineTellg(const std::string& path) {
    std::fstream in(path, std::ios_base::in);
    char line[CollectFileReaderWriter::kLineReadLimit];
    size_t lines = 0;
    while (in.getline(line, sizeof line)) {
        std::streamoff position = in.tellg();
        benchmark::DoNotOptimize(position);
        ++lines;
    }
    return lines;
}

using Reader = size_t (*)(const std::string&);

void benchRead(benchmark::State& state, const std::string& name, Reader reader) {
    const Workload& w = workload(name);
    for (auto _ : state) {
        const size_t lines = reader(w.path);
        if (lines != w.count() && lines != kReadThrough) {
            state.SkipWithError("the reader did not see every line");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * w.count()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.fileBytes));
}

// --- Scaling: write then read files of growing size ----------------------------------------

// Writes about targetBytes of the headline lines (cycled) and reads them back; returns the lines.
size_t writeAndRead(const Workload& pool, const std::string& path, size_t targetBytes) {
    size_t written = 0;
    size_t lines = 0;
    {
        CollectFileReaderWriter writer;
        if (!writer.OpenFile(path, ACCESS_WRITE)) {
            return 0;
        }
        for (size_t i = 0; written < targetBytes; ++i, ++lines) {
            const char* text = pool.text(i % pool.count());
            writer.writeLine(text);
            written += std::strlen(text) + 1;
        }
        if (!writer.Close()) {
            return 0;
        }
    }
    CollectFileReaderWriter reader;
    reader.OpenFile(path, ACCESS_READ);
    std::string line;
    size_t read = 0;
    while (reader.readLine(line)) {
        ++read;
    }
    return read == lines ? lines : 0;
}

void benchScaling(benchmark::State& state) {
    const Workload& pool = workload("headline");
    const size_t targetBytes = static_cast<size_t>(state.range(0)) << 20;
    const std::string path = benchFolder + "/scaling.collect";
    size_t lines = 0;
    for (auto _ : state) {
        state.PauseTiming();
        unlink(path.c_str());
        state.ResumeTiming();
        lines = writeAndRead(pool, path, targetBytes);
        if (lines == 0) {
            state.SkipWithError("write and read back failed");
            break;
        }
    }
    unlink(path.c_str());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lines));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * targetBytes));
}

// --- Memory: peak resident size of a fresh process that writes and reads a file ----------------

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

// Runs in a fresh process started by peakResidentKiB: generates its own few lines, writes and
// reads the file, and prints its peak resident size.
int rssChild(size_t megabytes) {
    workloads().push_back(makeWorkload("pool", 4096, 20, 160, 7));
    const std::string path = benchFolder + "/rss.collect";
    const size_t lines = writeAndRead(workloads().back(), path, megabytes << 20);
    unlink(path.c_str());
    std::printf("%ld\n", ownPeakResidentKiB());
    return lines > 0 ? 0 : 1;
}

long peakResidentKiB(const char* self, size_t megabytes) {
    const std::string command = std::string("'") + self + "' --rss-child " +
                                std::to_string(megabytes) + " '" + benchFolder + "'";
    FILE* child = popen(command.c_str(), "r");
    if (child == nullptr) {
        return -1;
    }
    long kib = -1;
    if (std::fscanf(child, "%ld", &kib) != 1) {
        kib = -1;
    }
    return pclose(child) == 0 ? kib : -1;
}

// --- Summary -------------------------------------------------------------------------------

// Collects the per-line time of every benchmark while the console reporter prints as usual.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            const auto items = run.counters.find("items_per_second");
            const auto bytes = run.counters.find("bytes_per_second");
            if (items != run.counters.end() && bytes != run.counters.end()) {
                Sample& s = samples_[run.run_name.function_name];
                s.nsPerLine.push_back(1e9 / items->second.value);
                s.megabytesPerSecond.push_back(bytes->second.value / 1e6);
            }
        }
    }

    // Median per-line time and throughput, or false when the benchmark did not run.
    bool median(const std::string& name, double& nsPerLine, double& megabytesPerSecond) const {
        const auto it = samples_.find(name);
        if (it == samples_.end()) {
            return false;
        }
        nsPerLine = middle(it->second.nsPerLine);
        megabytesPerSecond = middle(it->second.megabytesPerSecond);
        return true;
    }

  private:
    struct Sample {
        std::vector<double> nsPerLine;
        std::vector<double> megabytesPerSecond;
    };
    static double middle(std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    }
    std::map<std::string, Sample> samples_;
};

struct Comparison {
    const char* library;
    const char* reference;
    double target;  // 0 when the row is for information only
};

void printComparison(const SummaryReporter& reporter) {
    const std::vector<Comparison> comparisons = {
        {"write/headline/writeLine+Close", "write/headline/write(2) floor", 1.05},
        {"write/headline/writeLine+Close", "write/headline/ofstream <<", 0},
        {"write/headline/writeLine+Close", "write/headline/fputs", 0},
        {"write/short/writeLine+Close", "write/short/write(2) floor", 0},
        {"write/short/writeLine+Close", "write/short/ofstream <<", 0},
        {"write/short/writeLine+Close", "write/short/fputs", 0},
        {"write/long/writeLine+Close", "write/long/write(2) floor", 0},
        {"write/long/writeLine+Close", "write/long/ofstream <<", 0},
        {"write/long/writeLine+Close", "write/long/fputs", 0},
        {"read/headline/readLine(line)", "read/headline/std::getline", 1.25},
        {"read/headline/readLine(line)", "read/headline/getline(char*)+copy floor", 0},
        {"read/headline/readLine(line)", "read/headline/fgets", 0},
        {"read/headline/readLine(line)", "read/headline/read(2)+memchr floor", 0},
        {"read/headline/readLine(ok)", "read/headline/std::getline", 0},
        {"read/headline/readLine(line, offset)", "read/headline/getline(char*)+tellg floor", 1.05},
        {"read/headline/ReadDataFromFile", "read/headline/getline(char*) loop floor", 1.05},
        {"read/short/readLine(char*)", "read/short/fgets", 0},
        {"read/short/readLine(char*)", "read/short/std::getline", 0},
        {"read/short/readLine(line)", "read/short/std::getline", 0},
        {"read/long/readLine(line)", "read/long/std::getline", 0},
        {"read/long/readLine(line)", "read/long/read(2)+memchr floor", 0},
    };
    std::printf("\nComparison (median of %d runs; lower ns/line is better)\n\n", kRepetitions);
    std::printf("%-38s %9s %8s   %-42s %9s %8s %7s %s\n", "library form", "ns/line", "MB/s",
                "against", "ns/line", "MB/s", "ratio", "target");
    for (const Comparison& c : comparisons) {
        double libraryNs, libraryMBs, referenceNs, referenceMBs;
        if (!reporter.median(c.library, libraryNs, libraryMBs) ||
            !reporter.median(c.reference, referenceNs, referenceMBs)) {
            continue;
        }
        const double ratio = libraryNs / referenceNs;
        std::string target;
        if (c.target > 0) {
            target = "<= " + std::to_string(c.target).substr(0, 4) +
                     (ratio <= c.target ? "  met" : "  MISSED");
        }
        std::printf("%-38s %9.1f %8.0f   %-42s %9.1f %8.0f %6.2fx %s\n", c.library, libraryNs,
                    libraryMBs, c.reference, referenceNs, referenceMBs, ratio, target.c_str());
    }
    std::printf("\nScaling: write and read back through the library (ns per line)\n");
    for (int megabytes : {1, 64, 512}) {
        double ns, mbs;
        const std::string name = "scale/writeLine+readLine/" + std::to_string(megabytes);
        if (reporter.median(name, ns, mbs)) {
            std::printf("  %4d MiB file: %7.1f ns/line %8.0f MB/s\n", megabytes, ns, mbs);
        }
    }
}

void printMemory(const char* self) {
    const long small = peakResidentKiB(self, 1);
    const long large = peakResidentKiB(self, 512);
    std::printf(
        "\nPeak resident memory (VmHWM) of a fresh process that writes, then reads a file\n");
    std::printf("    1 MiB file: %6ld KiB\n  512 MiB file: %6ld KiB\n", small, large);
    if (small < 0 || large < 0) {
        std::printf("  the measuring child failed\n");
        return;
    }
    const long growth = large - small;
    std::printf("  growth: %ld KiB (%s: within 1 MiB)\n", growth,
                growth <= 1024 ? "flat" : "NOT flat");
}

void makeFolder() {
    if (const char* chosen = std::getenv("COLLECT_FILE_BENCH_DIR")) {
        benchFolder = chosen;
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
    benchFolder = made;
}

void registerBenchmarks() {
    const std::vector<std::pair<const char*, Writer>> writers = {
        {"writeLine+Close", writeWithLibrary},
        {"write(2) floor", writeWithSyscalls},
        {"ofstream <<", writeWithOfstream},
        {"fputs", writeWithFputs},
    };
    for (const char* name : {"headline", "short", "long"}) {
        for (const auto& writer : writers) {
            benchmark::RegisterBenchmark(
                (std::string("write/") + name + "/" + writer.first).c_str(),
                [name, writer](benchmark::State& state) { benchWrite(state, name, writer.second); })
                ->Unit(benchmark::kMillisecond)
                ->Repetitions(kRepetitions)
                ->UseRealTime();
        }
    }
    const std::vector<std::tuple<const char*, const char*, Reader>> readers = {
        {"headline", "readLine(line)", readWithReadLine},
        {"headline", "readLine(ok)", readWithReadLineOk},
        {"headline", "readLine(line, offset)", readWithReadLineOffset},
        {"headline", "ReadDataFromFile", readWithReadDataFromFile},
        {"headline", "std::getline", readWithStdGetline},
        {"headline", "fgets", readWithFgets},
        {"headline", "read(2)+memchr floor", readWithSyscalls},
        {"headline", "getline(char*) loop floor", readWithBoundedGetline},
        {"headline", "getline(char*)+copy floor", readWithBoundedGetlineCopy},
        {"headline", "getline(char*)+tellg floor", readWithBoundedGetlineTellg},
        {"short", "readLine(char*)", readWithReadLineShort},
        {"short", "readLine(line)", readWithReadLine},
        {"short", "std::getline", readWithStdGetline},
        {"short", "fgets", readWithFgets},
        {"long", "readLine(line)", readWithReadLine},
        {"long", "std::getline", readWithStdGetline},
        {"long", "read(2)+memchr floor", readWithSyscalls},
    };
    for (const auto& reader : readers) {
        const char* name = std::get<0>(reader);
        const Reader function = std::get<2>(reader);
        benchmark::RegisterBenchmark(
            (std::string("read/") + name + "/" + std::get<1>(reader)).c_str(),
            [name, function](benchmark::State& state) { benchRead(state, name, function); })
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(kRepetitions)
            ->UseRealTime();
    }
    for (int megabytes : {1, 64, 512}) {
        benchmark::RegisterBenchmark(
            ("scale/writeLine+readLine/" + std::to_string(megabytes)).c_str(), benchScaling)
            ->Arg(megabytes)
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(kRepetitions)
            ->UseRealTime();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--rss-child") == 0) {
        benchFolder = argv[3];
        return rssChild(std::strtoul(argv[2], nullptr, 10));
    }
    benchmark::Initialize(&argc, argv);
    makeFolder();
    std::printf("Files in %s (page cache); generating workloads with a fixed seed...\n",
                benchFolder.c_str());
    workloads().push_back(makeWorkload("headline", 1000000, 20, 160, 1));
    workloads().push_back(makeWorkload("short", 1000000, 7, 7, 2));
    workloads().push_back(makeWorkload("long", 20000, 2000, 2000, 3));
    for (const Workload& w : workloads()) {
        // The files that the readers read, each read once to warm the cache.
        if (!writeWithSyscalls(w, w.path) || readWithSyscalls(w.path) != w.count()) {
            std::fprintf(stderr, "cannot prepare %s\n", w.path.c_str());
            return 1;
        }
    }
    registerBenchmarks();
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printComparison(reporter);
    printMemory(argv[0]);
    for (const Workload& w : workloads()) {
        unlink(w.path.c_str());
    }
    if (std::getenv("COLLECT_FILE_BENCH_DIR") == nullptr) {
        rmdir(benchFolder.c_str());
    }
    benchmark::Shutdown();
    return 0;
}
