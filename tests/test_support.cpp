#include "test_support.h"

#include <stdlib.h>

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

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
