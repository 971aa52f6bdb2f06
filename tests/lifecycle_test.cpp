#include <collect_file/CollectFileReaderWriter.h>

#include <string>
#include <vector>

#include "object_size.h"
#include "test_support.h"

namespace {

class LifecycleTest : public TempDirTest {};

TEST(VersionTest, TheHeaderMacrosAreTheProjectVersion) {
    const std::string version = std::to_string(COLLECT_FILE_VERSION_MAJOR) + "." +
                                std::to_string(COLLECT_FILE_VERSION_MINOR) + "." +
                                std::to_string(COLLECT_FILE_VERSION_PATCH);
    EXPECT_EQ(version, COLLECT_FILE_PROJECT_VERSION);
    EXPECT_EQ(COLLECT_FILE_VERSION, COLLECT_FILE_VERSION_MAJOR * 10000 +
                                        COLLECT_FILE_VERSION_MINOR * 100 +
                                        COLLECT_FILE_VERSION_PATCH);
}

TEST_F(LifecycleTest, ANewObjectIsUnbound) {
    CollectFileReaderWriter object;
    // No name to find or remove, no file to flush to, nothing to close.
    EXPECT_FALSE(object.isFileExists() || object.RemoveFile() || object.WriteDataToFile());
    EXPECT_TRUE(object.Close());
}

TEST_F(LifecycleTest, OpensAFileOnceInItsLife) {
    const std::string path = fileWith("a\n");
    CollectFileReaderWriter object;
    ASSERT_TRUE(object.OpenFile(path, ACCESS_READ));
    EXPECT_FALSE(object.OpenFile(path, ACCESS_READ));
    EXPECT_TRUE(object.Close());
    EXPECT_FALSE(object.OpenFile(pathOf("other"), ACCESS_WRITE));
    EXPECT_EQ(readBytes(pathOf("other")), "");
}

TEST_F(LifecycleTest, RefusesModesOutsideReadWriteAppendAndCanOpenAfterwards) {
    const std::string path = fileWith("a\n");
    const std::vector<AccessMode> refused = {ACCESS_NONE, static_cast<AccessMode>(4),
                                             static_cast<AccessMode>(-1)};
    CollectFileReaderWriter object;
    for (AccessMode mode : refused) {
        EXPECT_FALSE(object.OpenFile(path, mode)) << "mode " << mode;
    }
    EXPECT_EQ(readBytes(path), "a\n");
    EXPECT_TRUE(object.OpenFile(path, ACCESS_READ));
}

TEST_F(LifecycleTest, AFailedOpenLeavesTheObjectUnboundAndReadyToOpenAnother) {
    const std::string existing = fileWith("line\n");
    CollectFileReaderWriter object;
    EXPECT_FALSE(object.OpenFile(pathOf("missing"), ACCESS_READ));
    EXPECT_FALSE(object.OpenFile(pathOf("no/such/folder"), ACCESS_WRITE));
    EXPECT_FALSE(object.RemoveFile());
    ASSERT_TRUE(object.OpenFile(existing, ACCESS_READ));
    std::string line;
    EXPECT_TRUE(object.readLine(line));
    EXPECT_EQ(line, "line");
}

TEST_F(LifecycleTest, WriteModeEmptiesAnExistingFileAtOnce) {
    const std::string path = fileWith("old content\n");
    CollectFileReaderWriter writer;
    ASSERT_TRUE(writer.OpenFile(path, ACCESS_WRITE));
    EXPECT_EQ(CollectFileReaderWriter::getFileSize(path), 0u);
}

struct RepeatedCloseCase {
    const char* name;
    AccessMode mode;
    std::vector<bool> results;
};

TEST_F(LifecycleTest, RepeatedCloseResults) {
    const std::vector<RepeatedCloseCase> cases = {
        {"write", ACCESS_WRITE, {true, true, false, false}},
        {"append", ACCESS_APPEND, {true, true, false, false}},
        {"read", ACCESS_READ, {true, true, true, true}},
    };
    for (const RepeatedCloseCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = fileWith("a\n", c.name);
        CollectFileReaderWriter object;
        ASSERT_TRUE(object.OpenFile(path, c.mode));
        for (size_t i = 0; i < c.results.size(); ++i) {
            EXPECT_EQ(object.Close(), c.results[i]) << "close #" << i + 1;
        }
    }
}

TEST_F(LifecycleTest, RemoveFileWorksWhileOpenAndAfterClose) {
    for (const bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "after Close" : "while open");
        const std::string path = fileWith("a\n", closed ? "closed" : "open");
        CollectFileReaderWriter object;
        ASSERT_TRUE(object.OpenFile(path, closed ? ACCESS_WRITE : ACCESS_READ));
        if (closed) {
            ASSERT_TRUE(object.Close());
        }
        EXPECT_TRUE(object.isFileExists());
        EXPECT_TRUE(object.RemoveFile());
        EXPECT_FALSE(object.isFileExists());
        EXPECT_FALSE(object.RemoveFile());
    }
}

TEST_F(LifecycleTest, SetFileNameRedirectsExistenceAndRemovalOnly) {
    const std::string opened = pathOf("opened");
    const std::string other = fileWith("other\n", "other");
    CollectFileReaderWriter writer;
    ASSERT_TRUE(writer.OpenFile(opened, ACCESS_WRITE));
    writer.setFileName(other);
    EXPECT_TRUE(writer.isFileExists());
    EXPECT_TRUE(writer.RemoveFile());
    EXPECT_FALSE(writer.isFileExists());
    // The stream still writes to the file it opened.
    EXPECT_TRUE(writer.writeLine("a"));
    EXPECT_TRUE(writer.Close());
    EXPECT_EQ(readBytes(opened), "a\n");
}

TEST_F(LifecycleTest, RemoveFileNeedsAnOpenedFileWhateverTheName) {
    const std::string path = fileWith("a\n");
    CollectFileReaderWriter object;
    object.setFileName(path);
    EXPECT_TRUE(object.isFileExists());
    EXPECT_FALSE(object.RemoveFile());
    EXPECT_EQ(readBytes(path), "a\n");
}

TEST_F(LifecycleTest, GetFileSizeIsZeroForMissingAndEmptyFiles) {
    EXPECT_EQ(CollectFileReaderWriter::getFileSize(pathOf("missing")), 0u);
    EXPECT_EQ(CollectFileReaderWriter::getFileSize(fileWith("", "empty")), 0u);
    EXPECT_EQ(CollectFileReaderWriter::getFileSize(fileWith("12345", "five")), 5u);
}

}  // namespace
