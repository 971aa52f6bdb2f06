// The Writer against the class's writeLine, on texts held as C strings, as writeLine takes them:
// Writer::write(const char*) (the view's length is counted by strlen) on the headline and the
// 7-byte lines, each against write_bench.cpp's writeLine+Close loop in the same run.

#include <collect_file/collect_file.h>

#include <string>
#include <vector>

#include "bench_support.h"

namespace {

// create(), every text through write(const char*), commit(): the fsyncs included.
bool writeCStringsWithWriter(const Workload& w, const std::string& path) {
    collect_file::Writer writer;
    if (writer.create(path)) {
        return false;
    }
    bool ok = true;
    for (size_t i = 0; i < w.count(); ++i) {
        ok &= !writer.write(w.text(i));
    }
    return !writer.commit() && ok;
}

std::vector<BenchmarkEntry> writerTable() {
    std::vector<BenchmarkEntry> entries;
    for (const char* name : {"headline", "short"}) {
        const std::string prefix = std::string("write/") + name + "/";
        entries.push_back({prefix + "Writer::write(const char*)+commit",
                           benchWrite(name, writeCStringsWithWriter),
                           {{prefix + "writeLine+Close", 1.15}}});
    }
    return entries;
}

const int registered = registerTable(writerTable());

}  // namespace
