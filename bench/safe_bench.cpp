// The safe interface against the class it is built on, on the headline lines: a Writer::write
// loop against write_bench.cpp's writeLine loop, a Reader::next loop against read_bench.cpp's
// readLine(line, offset) loop.

#include <collect_file/CollectFileReaderWriter.h>
#include <collect_file/collect_file.h>
#include <unistd.h>

#include <string_view>

#include "bench_support.h"

namespace {

// create(), every line through write(), commit(): the file's fsync and the folder's included.
// A caller holds each line with its length, as the view gives it.
bool writeWithWriter(const Workload& w, const std::string& path) {
    collect_file::Writer writer;
    if (writer.create(path)) {
        return false;
    }
    bool ok = true;
    for (size_t i = 0; i < w.count(); ++i) {
        ok &= !writer.write(std::string_view(w.text(i), w.length(i)));
    }
    return !writer.commit() && ok;
}

size_t readWithReader(const std::string& path) {
    collect_file::Reader reader;
    if (reader.open(path)) {
        return 0;
    }
    collect_file::Line line;
    size_t lines = 0;
    while (reader.next(line)) {
        benchmark::DoNotOptimize(line.offset);
        ++lines;
    }
    return reader.error() ? 0 : lines;
}

using WriteLoop = bool (*)(const Workload&, const std::string&);
using ReadLoop = size_t (*)(const std::string&);

std::function<void(benchmark::State&)> benchWrite(WriteLoop loop) {
    return [loop](benchmark::State& state) {
        const Workload& w = workload("headline");
        const std::string path = benchFolder() + "/safe-write.collect";
        for (auto _ : state) {
            state.PauseTiming();
            unlink(path.c_str());
            state.ResumeTiming();
            if (!loop(w, path)) {
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

std::function<void(benchmark::State&)> benchRead(ReadLoop loop) {
    return [loop](benchmark::State& state) {
        const Workload& w = workload("headline");
        for (auto _ : state) {
            if (loop(w.path) != w.count()) {
                state.SkipWithError("the reader did not see every line");
                break;
            }
        }
        state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * w.count()));
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * w.fileBytes));
    };
}

// Compared with the class's loops of write_bench.cpp and read_bench.cpp, in the same run.
const int registered = registerTable({
    {"write/headline/Writer::write+commit",
     benchWrite(writeWithWriter),
     {{"write/headline/writeLine+Close", 1.15}}},
    {"read/headline/Reader::next",
     benchRead(readWithReader),
     {{"read/headline/readLine(line, offset)", 1.05}}},
});

}  // namespace
