// Reading front to back: every reading form against std::getline, stdio and the floors that make
// the same system calls with no library in between.

#include <collect_file/CollectFileReaderWriter.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "bench_support.h"

namespace {

// What a reader returns when it read the whole file without counting its lines.
constexpr size_t kReadThrough = static_cast<size_t>(-1);

// --- The library's forms: each returns the number of lines it read -------------------------

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

size_t readWithReadDataFromFile(const std::string& path) {
    CollectFileReaderWriter reader;
    reader.OpenFile(path, ACCESS_READ);
    return reader.ReadDataFromFile() ? kReadThrough : 0;
}

// --- What clients would use instead ----------------------------------------------------------

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

// --- Floors ----------------------------------------------------------------------------------

// 64 KiB blocks read with read(2), handing each line's bytes to deliver(begin, end).
template <class Deliver>
size_t readBlocks(const std::string& path, Deliver deliver) {
    const int fd = open(path.c_str(), O_RDONLY);
    static char block[kBlockSize];
    size_t lines = 0;
    size_t kept = 0;  // the start of a line cut by the block's end, moved to the front
    ssize_t got;
    while ((got = read(fd, block + kept, sizeof block - kept)) > 0) {
        const char* p = block;
        const char* end = block + kept + got;
        const char* newline;
        while ((newline = static_cast<const char*>(std::memchr(p, '\n', end - p))) != nullptr) {
            deliver(p, newline);
            ++lines;
            p = newline + 1;
        }
        kept = static_cast<size_t>(end - p);
        std::memmove(block, p, kept);
    }
    close(fd);
    return lines;
}

// The least any reader can do: find the newlines, deliver nothing.
size_t readWithSyscalls(const std::string& path) {
    return readBlocks(path, [](const char*, const char*) {});
}

// The least a reader that delivers strings can do: each line assigned to a std::string.
size_t readWithSyscallsAssign(const std::string& path) {
    std::string line;
    const size_t lines =
        readBlocks(path, [&line](const char* begin, const char* end) { line.assign(begin, end); });
    benchmark::DoNotOptimize(line.data());
    return lines;
}

// The stream's bounded line read in a bare loop: what ReadDataFromFile would be without its own
// scan.
size_t readWithBoundedGetline(const std::string& path) {
    std::fstream in(path, std::ios_base::in);
    char line[CollectFileReaderWriter::kLineReadLimit];
    size_t lines = 0;
    while (in.getline(line, sizeof line)) {
        ++lines;
    }
    return lines;
}

// The bounded line read followed by the stream's position report, as readLine(line, offset)
// would be on the stream alone.
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

}  // namespace

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

std::function<void(benchmark::State&)> benchRead(const std::string& name, ReadLoop reader) {
    return [name, reader](benchmark::State& state) {
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
    };
}

namespace {

const int registered = registerTable({
    {"read/headline/std::getline", benchRead("headline", readWithStdGetline)},
    {"read/headline/fgets", benchRead("headline", readWithFgets)},
    {"read/headline/read(2)+memchr floor", benchRead("headline", readWithSyscalls)},
    {"read/headline/read(2)+memchr+assign floor", benchRead("headline", readWithSyscallsAssign)},
    {"read/headline/getline(char*) loop floor", benchRead("headline", readWithBoundedGetline)},
    {"read/headline/getline(char*)+tellg floor",
     benchRead("headline", readWithBoundedGetlineTellg)},
    {"read/headline/readLine(line)",
     benchRead("headline", readWithReadLine),
     {{"read/headline/read(2)+memchr+assign floor", 1.12},
      {"read/headline/std::getline", 0},
      {"read/headline/fgets", 0},
      {"read/headline/read(2)+memchr floor", 0}}},
    {"read/headline/readLine(ok)",
     benchRead("headline", readWithReadLineOk),
     {{"read/headline/std::getline", 0}}},
    {"read/headline/readLine(line, offset)",
     benchRead("headline", readWithReadLineOffset),
     {{"read/headline/getline(char*)+tellg floor", 1.05},
      {"read/headline/read(2)+memchr+assign floor", 0}}},
    {"read/headline/ReadDataFromFile",
     benchRead("headline", readWithReadDataFromFile),
     {{"read/headline/getline(char*) loop floor", 1.05}}},
    {"read/short/std::getline", benchRead("short", readWithStdGetline)},
    {"read/short/read(2)+memchr+assign floor", benchRead("short", readWithSyscallsAssign)},
    {"read/short/fgets", benchRead("short", readWithFgets)},
    {"read/short/readLine(char*)",
     benchRead("short", readWithReadLineShort),
     {{"read/short/fgets", 0}, {"read/short/std::getline", 0}}},
    {"read/short/readLine(line)",
     benchRead("short", readWithReadLine),
     {{"read/short/read(2)+memchr+assign floor", 1.35}, {"read/short/std::getline", 0}}},
    {"read/long/std::getline", benchRead("long", readWithStdGetline)},
    {"read/long/read(2)+memchr floor", benchRead("long", readWithSyscalls)},
    {"read/long/read(2)+memchr+assign floor", benchRead("long", readWithSyscallsAssign)},
    {"read/long/readLine(line)",
     benchRead("long", readWithReadLine),
     {{"read/long/read(2)+memchr+assign floor", 0}, {"read/long/std::getline", 0}}},
});

}  // namespace
