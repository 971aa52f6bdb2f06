// collect_file::Reader against the class, side by side in one run: going back to an entry (seek
// and next) at random and a few lines ahead, next() on 7-byte lines, open and destroy, and
// reading on with skip() past long lines against a bare read(2)+memchr pass over the same file.

#include <collect_file/CollectFileReaderWriter.h>
#include <collect_file/collect_file.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "bench_support.h"

namespace {

bool lookUpWithReader(const Workload& w, const std::vector<uint32_t>& lines) {
    collect_file::Reader reader;
    if (reader.open(w.path)) {
        return false;
    }
    collect_file::Line line;
    for (uint32_t i : lines) {
        if (reader.seek(w.offsets[i]) || !reader.next(line) || line.text.size() != w.length(i)) {
            return false;
        }
    }
    return true;
}

std::function<void(benchmark::State&)> benchLookUp(const std::vector<uint32_t>& (*lines)()) {
    return [lines](benchmark::State& state) {
        const Workload& w = workload("headline");
        for (auto _ : state) {
            if (!lookUpWithReader(w, lines())) {
                state.SkipWithError("a lookup did not give its line");
                break;
            }
        }
        state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lines().size()));
    };
}

void openDestroyReader(benchmark::State& state) {
    const std::string& path = workload("short").path;
    for (auto _ : state) {
        collect_file::Reader reader;
        if (reader.open(path)) {
            state.SkipWithError("open failed");
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// A file of 50,000 lines, every 50th of 5,000 bytes, the others of 20 to 160: created once and
// removed from its folder at once, read through the descriptor kept open.
int skipFile() {
    static const int fd = [] {
        const std::string path = benchFolder() + "/skip.collect";
        const int made = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        unlink(path.c_str());
        std::mt19937_64 random(50);
        std::string bytes;
        for (int i = 0; i < 50000; ++i) {
            bytes.append(i % 50 == 49 ? 5000 : 20 + random() % 141,
                         static_cast<char>('a' + i % 26));
            bytes += '\n';
        }
        return made >= 0 &&
                       write(made, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())
                   ? made
                   : -1;
    }();
    return fd;
}

// The lines of skipFile() that a Reader delivers or skips (each long line).
size_t readSkippingWithReader() {
    collect_file::Reader reader;
    if (lseek(skipFile(), 0, SEEK_SET) != 0 || reader.open(skipFile())) {
        return 0;
    }
    collect_file::Line line;
    size_t lines = 0;
    for (;;) {
        while (reader.next(line)) {
            benchmark::DoNotOptimize(line.text.data());
            ++lines;
        }
        if (reader.error() != collect_file::errc::line_too_long || reader.skip()) {
            return reader.error() ? 0 : lines;
        }
        ++lines;  // the long line, passed: the floor counts every line too
    }
}

// The lines of skipFile(), counted by read(2) of 64 KiB blocks and memchr.
size_t countWithReadAndMemchr() {
    const int fd = skipFile();
    if (lseek(fd, 0, SEEK_SET) != 0) {
        return 0;
    }
    static char block[kBlockSize];
    size_t lines = 0;
    for (ssize_t got; (got = read(fd, block, sizeof block)) > 0;) {
        for (const char* at = block; (at = static_cast<const char*>(std::memchr(
                                          at, '\n', static_cast<size_t>(block + got - at))));) {
            ++at;
            ++lines;
        }
    }
    return lines;
}

void benchSkipFile(benchmark::State& state, size_t (*loop)()) {
    size_t lines = 0;
    for (auto _ : state) {
        lines = loop();
        if (lines == 0) {
            state.SkipWithError("the file was not read");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lines));
}

const int registered = registerTable({
    {"seek/random/Reader seek+next",
     benchLookUp(randomLookups),
     {{"seek/random/seek+readLine", 1.05}}},
    {"seek/nearby/Reader seek+next",
     benchLookUp(nearbyLookups),
     {{"seek/nearby/seek+readLine", 1.2}}},
    {"read/short/readLine(line, offset)", benchRead("short", readWithReadLineOffset)},
    {"read/short/Reader::next",
     benchRead("short", readWithReader),
     {{"read/short/readLine(line, offset)", 1.05}}},
    {"object/open+close/Reader open+destroy",
     openDestroyReader,
     {{"object/open+close/OpenFile+Close", 1.3}},
     benchmark::kNanosecond},
    {"skip/1 in 50 of 5,000 bytes/read(2)+memchr floor",
     [](benchmark::State& state) { benchSkipFile(state, countWithReadAndMemchr); }},
    {"skip/1 in 50 of 5,000 bytes/Reader next+skip",
     [](benchmark::State& state) { benchSkipFile(state, readSkippingWithReader); },
     {{"skip/1 in 50 of 5,000 bytes/read(2)+memchr floor", 1.5}}},
});

}  // namespace

bool runReaderLookups(const std::string& kind) {
    if (kind != "random" && kind != "nearby") {
        return false;
    }
    return lookUpWithReader(workload("headline"),
                            kind == "random" ? randomLookups() : nearbyLookups());
}

bool runReaderOpens(size_t count) {
    const std::string& path = workload("short").path;
    for (size_t i = 0; i < count; ++i) {
        collect_file::Reader reader;
        if (reader.open(path)) {
            return false;
        }
    }
    return true;
}
