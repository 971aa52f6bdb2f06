// Going back to an entry: seek to a line's recorded offset and read that one line, at random
// across the headline file and walking forwards a few lines at a time. The library against
// stdio fseek + fgets, std::ifstream seekg + getline, pread of 4 KiB from the line + memchr, one
// pread of the aligned 4 KiB block that holds it (the floor of one system call), and
// mmap + memchr.
// Each lookup checks the length of the line it got.

#include <collect_file/CollectFileReaderWriter.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "bench_support.h"

namespace {

// Looks up every line of `lines` in turn; lookup(offset, length) returns whether it got the line.
template <class Lookup>
bool lookUpAll(const Workload& w, const std::vector<uint32_t>& lines, Lookup lookup) {
    for (uint32_t i : lines) {
        if (!lookup(w.offsets[i], w.length(i))) {
            return false;
        }
    }
    return true;
}

bool lookUpWithLibrary(const Workload& w, const std::vector<uint32_t>& lines) {
    CollectFileReaderWriter reader;
    reader.OpenFile(w.path, ACCESS_READ);
    std::string line;
    return lookUpAll(w, lines, [&](uint64_t offset, size_t length) {
        return reader.seek(offset) && reader.readLine(line) && line.size() == length;
    });
}

bool lookUpWithStdio(const Workload& w, const std::vector<uint32_t>& lines) {
    FILE* in = std::fopen(w.path.c_str(), "r");
    char line[CollectFileReaderWriter::kLineReadLimit];
    const bool ok = lookUpAll(w, lines, [&](uint64_t offset, size_t length) {
        return std::fseek(in, static_cast<long>(offset), SEEK_SET) == 0 &&
               std::fgets(line, sizeof line, in) != nullptr && std::strlen(line) == length + 1;
    });
    std::fclose(in);
    return ok;
}

bool lookUpWithIfstream(const Workload& w, const std::vector<uint32_t>& lines) {
    std::ifstream in(w.path);
    std::string line;
    return lookUpAll(w, lines, [&](uint64_t offset, size_t length) {
        in.seekg(static_cast<std::streamoff>(offset));
        return std::getline(in, line) && line.size() == length;
    });
}

bool lookUpWithPread(const Workload& w, const std::vector<uint32_t>& lines) {
    const int fd = open(w.path.c_str(), O_RDONLY);
    char block[4096];
    std::string line;
    const bool ok = lookUpAll(w, lines, [&](uint64_t offset, size_t length) {
        const ssize_t got = pread(fd, block, sizeof block, static_cast<off_t>(offset));
        const void* newline = got > 0 ? std::memchr(block, '\n', got) : nullptr;
        if (newline == nullptr) {
            return false;
        }
        line.assign(block, static_cast<const char*>(newline) - block);
        return line.size() == length;
    });
    close(fd);
    return ok;
}

// The least one system call per lookup can do: one pread of the aligned 4 KiB block that holds
// the line (and of the next block for a line that crosses its end), then memchr.
bool lookUpWithAlignedPread(const Workload& w, const std::vector<uint32_t>& lines) {
    const int fd = open(w.path.c_str(), O_RDONLY);
    const size_t kBlock = 4096;
    alignas(kBlock) static char blocks[2 * kBlock];
    std::string line;
    const bool ok = lookUpAll(w, lines, [&](uint64_t offset, size_t length) {
        const uint64_t start = offset & ~static_cast<uint64_t>(kBlock - 1);
        ssize_t got = pread(fd, blocks, kBlock, static_cast<off_t>(start));
        const char* begin = blocks + (offset - start);
        const void* newline =
            got > 0 ? std::memchr(begin, '\n', static_cast<size_t>(got) - (offset - start))
                    : nullptr;
        if (newline == nullptr && got == static_cast<ssize_t>(kBlock)) {
            got += pread(fd, blocks + kBlock, kBlock, static_cast<off_t>(start + kBlock));
            newline = std::memchr(begin, '\n', static_cast<size_t>(got) - (offset - start));
        }
        if (newline == nullptr) {
            return false;
        }
        line.assign(begin, static_cast<const char*>(newline) - begin);
        return line.size() == length;
    });
    close(fd);
    return ok;
}

bool lookUpWithMmap(const Workload& w, const std::vector<uint32_t>& lines) {
    const int fd = open(w.path.c_str(), O_RDONLY);
    void* mapped = mmap(nullptr, w.fileBytes, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED) {
        return false;
    }
    const char* base = static_cast<const char*>(mapped);
    std::string line;
    const bool ok = lookUpAll(w, lines, [&](uint64_t offset, size_t length) {
        const char* begin = base + offset;
        const void* newline = std::memchr(begin, '\n', w.fileBytes - offset);
        if (newline == nullptr) {
            return false;
        }
        line.assign(begin, static_cast<const char*>(newline) - begin);
        return line.size() == length;
    });
    munmap(mapped, w.fileBytes);
    return ok;
}

using LookUp = bool (*)(const Workload&, const std::vector<uint32_t>&);

std::function<void(benchmark::State&)> benchLookUp(const std::vector<uint32_t>& (*lines)(),
                                                   LookUp lookUp) {
    return [lines, lookUp](benchmark::State& state) {
        const Workload& w = workload("headline");
        for (auto _ : state) {
            if (!lookUp(w, lines())) {
                state.SkipWithError("a lookup did not give its line");
                break;
            }
        }
        state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lines().size()));
    };
}

std::vector<BenchmarkEntry> seekTable() {
    std::vector<BenchmarkEntry> entries;
    const struct {
        const char* name;
        const std::vector<uint32_t>& (*lines)();
        double targetAgainstStdio;
    } kinds[] = {{"random", randomLookups, 0.85}, {"nearby", nearbyLookups, 0.2}};
    for (const auto& kind : kinds) {
        const std::string prefix = std::string("seek/") + kind.name + "/";
        entries.push_back({prefix + "fseek+fgets", benchLookUp(kind.lines, lookUpWithStdio)});
        entries.push_back({prefix + "seekg+getline", benchLookUp(kind.lines, lookUpWithIfstream)});
        entries.push_back(
            {prefix + "pread 4 KiB+memchr", benchLookUp(kind.lines, lookUpWithPread)});
        entries.push_back({prefix + "aligned pread 4 KiB+memchr floor",
                           benchLookUp(kind.lines, lookUpWithAlignedPread)});
        entries.push_back({prefix + "mmap+memchr", benchLookUp(kind.lines, lookUpWithMmap)});
        entries.push_back({prefix + "seek+readLine",
                           benchLookUp(kind.lines, lookUpWithLibrary),
                           {{prefix + "fseek+fgets", kind.targetAgainstStdio},
                            {prefix + "seekg+getline", 0},
                            {prefix + "aligned pread 4 KiB+memchr floor", 0},
                            {prefix + "pread 4 KiB+memchr", 0},
                            {prefix + "mmap+memchr", 0}}});
    }
    return entries;
}

const int registered = registerTable(seekTable());

}  // namespace

bool runLibraryLookups(const std::string& kind) {
    if (kind != "random" && kind != "nearby") {
        return false;
    }
    return lookUpWithLibrary(workload("headline"),
                             kind == "random" ? randomLookups() : nearbyLookups());
}
