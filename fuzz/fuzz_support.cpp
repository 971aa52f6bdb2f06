#include "fuzz_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

std::string folder;
std::string path;

void removeScratch() {
    unlink(path.c_str());
    rmdir(folder.c_str());
}

}  // namespace

const std::string& scratchPath() {
    if (path.empty()) {
        // Memory-backed when the machine has it: the targets rewrite the file on every run.
        char folderTemplate[] = "/dev/shm/collect_file_fuzz.XXXXXX";
        char fallbackTemplate[] = "/tmp/collect_file_fuzz.XXXXXX";
        if (mkdtemp(folderTemplate) != nullptr) {
            folder = folderTemplate;
        } else if (mkdtemp(fallbackTemplate) != nullptr) {
            folder = fallbackTemplate;
        } else {
            fuzzFailure("cannot create a scratch folder");
        }
        path = folder + "/scratch";
        atexit(removeScratch);
    }
    return path;
}

void writeScratch(const std::string& bytes) {
    std::ofstream out(scratchPath(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readScratch() {
    std::ifstream in(scratchPath(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void fuzzFailure(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    abort();
}
