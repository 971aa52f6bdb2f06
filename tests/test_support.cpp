#include "test_support.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

void TempDirTest::SetUp() {
    char folderTemplate[] = "/tmp/collect_file_test.XXXXXX";
    ASSERT_NE(mkdtemp(folderTemplate), nullptr);
    folder_ = folderTemplate;
}

void TempDirTest::TearDown() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

std::string TempDirTest::fileWith(const std::string& bytes, const std::string& name) {
    const std::string path = pathOf(name);
    writeBytes(path, bytes);
    return path;
}

std::string TempDirTest::writtenBytes(const std::vector<std::string>& texts, AccessMode mode,
                                      const std::string& name) {
    const std::string path = pathOf(name);
    {
        CollectFileReaderWriter writer;
        EXPECT_TRUE(writer.OpenFile(path, mode));
        for (const std::string& text : texts) {
            EXPECT_TRUE(writer.writeLine(text.c_str()));
        }
        EXPECT_TRUE(writer.Close());
    }
    return readBytes(path);
}

std::vector<std::string> readAllLines(const std::string& path) {
    std::vector<std::string> lines;
    CollectFileReaderWriter reader;
    if (!reader.OpenFile(path, ACCESS_READ)) {
        ADD_FAILURE() << "cannot open " << path;
        return lines;
    }
    std::string line;
    while (reader.readLine(line)) {
        lines.push_back(line);
    }
    return lines;
}

namespace {

::testing::AssertionResult compareBytes(const std::string& actual, const std::string& expected,
                                        bool prefixIsEnough) {
    const size_t common = std::min(actual.size(), expected.size());
    const size_t differ = static_cast<size_t>(
        std::mismatch(actual.begin(), actual.begin() + common, expected.begin()).first -
        actual.begin());
    const bool matches = differ == common && (actual.size() == expected.size() ||
                                              (prefixIsEnough && actual.size() < expected.size()));
    if (matches) {
        return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << (prefixIsEnough ? "not a prefix: " : "bytes differ: ") << actual.size()
            << " bytes against " << expected.size() << " expected";
    if (differ < common) {
        failure << "; first difference at offset " << differ << " (" << int(actual[differ])
                << " instead of " << int(expected[differ]) << ")";
    } else {
        failure << "; equal up to offset " << common;
    }
    return failure;
}

}  // namespace

::testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected) {
    return compareBytes(actual, expected, false);
}

::testing::AssertionResult isPrefixOf(const std::string& actual, const std::string& expected) {
    return compareBytes(actual, expected, true);
}

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
