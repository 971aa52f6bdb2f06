#ifndef COLLECT_FILE_TESTS_TEST_SUPPORT_H
#define COLLECT_FILE_TESTS_TEST_SUPPORT_H

#include <collect_file/CollectFileReaderWriter.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collect_file/internal/stream_buffer.h"

// Gives each test a fresh temporary folder, removed with everything in it afterwards.
class TempDirTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A path inside the test's folder.
    std::string pathOf(const std::string& name) const { return folder_ + "/" + name; }
    // Writes bytes to a new file in the folder and returns its path.
    std::string fileWith(const std::string& bytes, const std::string& name = "input");
    // Writes bytes to a new file and opens it for reading in reader.
    void openForReading(CollectFileReaderWriter& reader, const std::string& bytes) {
        ASSERT_TRUE(reader.OpenFile(fileWith(bytes), ACCESS_READ));
    }

    // Writes texts through a new object opened on the file name in mode (all calls must
    // succeed), closes it and returns the file's bytes.
    std::string writtenBytes(const std::vector<std::string>& texts, AccessMode mode = ACCESS_WRITE,
                             const std::string& name = "written");

    std::string folder_;
};

// Every line that readLine(line) delivers from the file, up to the first false.
std::vector<std::string> readAllLines(const std::string& path);

// Succeeds when actual equals expected; otherwise tells both sizes and the first byte that
// differs.
::testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected);
// Succeeds when actual is a prefix of expected (or equal to it); otherwise tells both sizes and
// the first byte that differs.
::testing::AssertionResult isPrefixOf(const std::string& actual, const std::string& expected);

// What the standard library lets the library do, read from the library itself: with libstdc++
// it reaches the file stream's descriptor. With a standard library that hides it (libc++) the
// library writes through the stream as a plain std::fstream does: a text longer than the buffer
// and its newline may reach the file in two writes, and a flush that failed part way may be
// written again when the stream is closed.
using collect_file_internal::kDescriptorKnown;
// What the standard library itself does: libc++'s file stream reads an I/O error as the end of
// the file, Debian's libc++ brings an unwinder that crashes on a cancelled thread, and its file
// stream reads through stdio, whose calls inside the C library the fault injector cannot
// replace.
#if defined(__GLIBCXX__)
constexpr bool kReadErrorsReported = true;
constexpr bool kCancellationUnwinds = true;
constexpr bool kReadsInjectable = true;
#else
constexpr bool kReadErrorsReported = false;
constexpr bool kCancellationUnwinds = false;
constexpr bool kReadsInjectable = false;
#endif

// The whole content of a file; empty when it cannot be read.
std::string readBytes(const std::string& path);
// Replaces the content of a file with bytes.
void writeBytes(const std::string& path, const std::string& bytes);

// Expects every part, made concrete by expand, in text, each after the start of the one before;
// a missing part is reported with the whole of `stream`'s text.
template <class Expand>
void expectInOrder(const std::string& text, const std::vector<std::string>& parts,
                   const char* stream, Expand expand) {
    size_t from = 0;
    for (const std::string& part : parts) {
        const size_t at = text.find(expand(part), from);
        EXPECT_NE(at, std::string::npos) << "missing in " << stream << ": " << expand(part) << "\n"
                                         << stream << ":\n"
                                         << text;
        from = at == std::string::npos ? from : at + 1;
    }
}

#endif  // COLLECT_FILE_TESTS_TEST_SUPPORT_H
