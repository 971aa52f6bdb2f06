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

// Compared with the class's loops of write_bench.cpp and read_bench.cpp, in the same run.
const int registered = registerTable({
    {"write/headline/Writer::write+commit",
     benchWrite("headline", writeWithWriter),
     {{"write/headline/writeLine+Close", 1.15}}},
    {"read/headline/Reader::next",
     benchRead("headline", readWithReader),
     {{"read/headline/readLine(line, offset)", 1.05}}},
});

}  // namespace

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
