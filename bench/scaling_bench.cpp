// Scaling: write files of 1, 64 and 512 MiB of headline lines through the library and read them
// back, to show that the cost per line stays flat.

#include <collect_file/CollectFileReaderWriter.h>
#include <unistd.h>

#include <cstring>

#include "bench_support.h"
#include "scaling.h"

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

namespace {

std::function<void(benchmark::State&)> benchScaling(size_t megabytes) {
    return [megabytes](benchmark::State& state) {
        const Workload& pool = workload("headline");
        const size_t targetBytes = megabytes << 20;
        const std::string path = benchFolder() + "/scaling.collect";
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
    };
}

const int registered = registerTable({
    {"scale/writeLine+readLine/1", benchScaling(1)},
    {"scale/writeLine+readLine/64", benchScaling(64)},
    {"scale/writeLine+readLine/512", benchScaling(512)},
});

}  // namespace
