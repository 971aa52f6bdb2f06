// Writing: writeLine + Close against the write(2) floor, std::ofstream and stdio, on each
// workload. Every run creates its file afresh.

#include <collect_file/CollectFileReaderWriter.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "bench_support.h"

namespace {

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

}  // namespace

std::function<void(benchmark::State&)> benchWrite(const std::string& name, WriteLoop writer) {
    return [name, writer](benchmark::State& state) {
        const Workload& w = workload(name);
        const std::string path = benchFolder() + "/write-" + name + ".collect";
        for (auto _ : state) {
            state.PauseTiming();
            unlink(path.c_str());
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
    };
}

namespace {

std::vector<BenchmarkEntry> writeTable() {
    std::vector<BenchmarkEntry> entries;
    for (const char* name : {"headline", "short", "long"}) {
        const std::string prefix = std::string("write/") + name + "/";
        const double target = std::string(name) == "headline" ? 1.05 : 0;
        entries.push_back({prefix + "write(2) floor", benchWrite(name, writeWithSyscalls)});
        entries.push_back({prefix + "ofstream <<", benchWrite(name, writeWithOfstream)});
        entries.push_back({prefix + "fputs", benchWrite(name, writeWithFputs)});
        entries.push_back({prefix + "writeLine+Close",
                           benchWrite(name, writeWithLibrary),
                           {{prefix + "write(2) floor", target},
                            {prefix + "ofstream <<", 0},
                            {prefix + "fputs", 0}}});
    }
    return entries;
}

const int registered = registerTable(writeTable());

}  // namespace
