#ifndef COLLECT_FILE_FUZZ_FUZZ_SUPPORT_H
#define COLLECT_FILE_FUZZ_FUZZ_SUPPORT_H

#include <string>

// A scratch file path of this process, in a folder created on first use and removed at exit.
const std::string& scratchPath();
// Replaces the scratch file's content with bytes.
void writeScratch(const std::string& bytes);
// The scratch file's whole content.
std::string readScratch();
// Aborts with a message, so that libFuzzer records the input.
[[noreturn]] void fuzzFailure(const char* what);

#endif  // COLLECT_FILE_FUZZ_FUZZ_SUPPORT_H
