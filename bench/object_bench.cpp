// What one object costs by itself: construction and destruction, and OpenFile + Close of a small
// file, against std::ifstream and stdio.

#include <collect_file/CollectFileReaderWriter.h>

#include <cstdio>
#include <fstream>
#include <new>
#include <type_traits>
#include <vector>

#include "bench_support.h"

namespace {

const std::string& smallFile() {
    static const std::string path = [] {
        const std::string p = benchFolder() + "/small.collect";
        std::ofstream(p) << "[FULL_DB_ENTRIES]\nentry\n";
        return p;
    }();
    return path;
}

void constructLibrary(benchmark::State& state) {
    for (auto _ : state) {
        CollectFileReaderWriter object;
        benchmark::DoNotOptimize(&object);
    }
    state.SetItemsProcessed(state.iterations());
}

void constructIfstream(benchmark::State& state) {
    for (auto _ : state) {
        std::ifstream stream;
        benchmark::DoNotOptimize(&stream);
    }
    state.SetItemsProcessed(state.iterations());
}

void constructFstream(benchmark::State& state) {
    for (auto _ : state) {
        std::fstream stream;
        benchmark::DoNotOptimize(&stream);
    }
    state.SetItemsProcessed(state.iterations());
}

void openCloseLibrary(benchmark::State& state) {
    // An object opens one file in its life: each batch opens and closes fresh objects, built
    // and destroyed outside the timing in memory that stays mapped, as a client's object on its
    // stack would be.
    const size_t kBatch = 64;
    const std::string& path = smallFile();
    std::vector<
        std::aligned_storage_t<sizeof(CollectFileReaderWriter), alignof(CollectFileReaderWriter)>>
        storage(kBatch);
    std::vector<CollectFileReaderWriter*> objects(kBatch);
    while (state.KeepRunningBatch(kBatch)) {
        state.PauseTiming();
        for (size_t i = 0; i < kBatch; ++i) {
            objects[i] = new (&storage[i]) CollectFileReaderWriter;
        }
        state.ResumeTiming();
        for (CollectFileReaderWriter* object : objects) {
            if (!object->OpenFile(path, ACCESS_READ) || !object->Close()) {
                state.SkipWithError("OpenFile or Close failed");
            }
        }
        state.PauseTiming();
        for (CollectFileReaderWriter* object : objects) {
            object->~CollectFileReaderWriter();
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations());
}

void openCloseIfstream(benchmark::State& state) {
    const std::string& path = smallFile();
    std::ifstream stream;
    for (auto _ : state) {
        stream.open(path);
        stream.close();
        if (stream.fail()) {
            state.SkipWithError("open or close failed");
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void openCloseStdio(benchmark::State& state) {
    const std::string& path = smallFile();
    for (auto _ : state) {
        FILE* file = std::fopen(path.c_str(), "r");
        if (file == nullptr || std::fclose(file) != 0) {
            state.SkipWithError("fopen or fclose failed");
        }
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

bool runLibraryOpens(size_t count) {
    const std::string& path = smallFile();
    for (size_t i = 0; i < count; ++i) {
        CollectFileReaderWriter object;
        if (!object.OpenFile(path, ACCESS_READ) || !object.Close()) {
            return false;
        }
    }
    return true;
}

namespace {

const int registered = registerTable({
    {"object/construct+destroy/ifstream", constructIfstream, {}, benchmark::kNanosecond},
    {"object/construct+destroy/fstream", constructFstream, {}, benchmark::kNanosecond},
    {"object/construct+destroy/library",
     constructLibrary,
     {{"object/construct+destroy/ifstream", 1.2}, {"object/construct+destroy/fstream", 0}},
     benchmark::kNanosecond},
    {"object/open+close/ifstream", openCloseIfstream, {}, benchmark::kNanosecond},
    {"object/open+close/fopen+fclose", openCloseStdio, {}, benchmark::kNanosecond},
    {"object/open+close/OpenFile+Close",
     openCloseLibrary,
     {{"object/open+close/ifstream", 1.5}, {"object/open+close/fopen+fclose", 0}},
     benchmark::kNanosecond},
});

}  // namespace
