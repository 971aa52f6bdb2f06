// Hostile files and environments: unopenable paths, a full disk, files that disappear or shrink
// underneath an object, and contents no writer of this library produces.

#include <collect_file/CollectFileReaderWriter.h>
#include <linux/magic.h>
#include <stdlib.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

class FaultTest : public TempDirTest {};

struct UnopenableCase {
    const char* name;
    std::string path;  // relative to the test folder; empty for the folder itself
    AccessMode mode;
};

TEST_F(FaultTest, UnopenablePathsLeaveTheObjectUnboundAndReusable) {
    const std::vector<UnopenableCase> cases = {
        {"write into a missing folder", "missing/out", ACCESS_WRITE},
        {"append into a missing folder", "missing/out", ACCESS_APPEND},
        {"read a missing file", "missing", ACCESS_READ},
        {"read a folder", "", ACCESS_READ},
        {"write a folder", "", ACCESS_WRITE},
        {"append a folder", "", ACCESS_APPEND},
        // The system would see only "good", which writing would empty.
        {"write a path holding a NUL", std::string("good\0.tmp", 9), ACCESS_WRITE},
        {"append a path holding a NUL", std::string("good\0.tmp", 9), ACCESS_APPEND},
        {"read a path holding a NUL", std::string("good\0.tmp", 9), ACCESS_READ},
    };
    const std::string good = fileWith("good\n", "good");
    for (const UnopenableCase& c : cases) {
        SCOPED_TRACE(c.name);
        CollectFileReaderWriter object;
        EXPECT_FALSE(object.OpenFile(c.path.empty() ? folder_ : pathOf(c.path), c.mode));
        EXPECT_FALSE(object.RemoveFile()) << "still unbound";
        EXPECT_FALSE(object.seek("")) << "the stream is failed";
        ASSERT_TRUE(object.OpenFile(good, ACCESS_READ));
        std::string line;
        EXPECT_TRUE(object.readLine(line));
        EXPECT_EQ(line, "good");
    }
}

TEST_F(FaultTest, ANameHoldingANulNamesNoFile) {
    const std::string good = fileWith("good\n", "good");
    const std::string withNul = good + std::string("\0.tmp", 5);
    CollectFileReaderWriter object;
    ASSERT_TRUE(object.OpenFile(good, ACCESS_READ));
    object.setFileName(withNul);
    EXPECT_FALSE(object.isFileExists());
    EXPECT_FALSE(object.RemoveFile());
    EXPECT_EQ(CollectFileReaderWriter::getFileSize(withNul), 0u);
    EXPECT_EQ(readBytes(good), "good\n");
}

// One call to a writer and the result it must give.
struct WriterCall {
    enum Kind { kWrite, kFlush, kClose } kind;
    std::string text;  // for kWrite
    bool result;
};

struct FullDiskCase {
    const char* name;
    AccessMode mode;
    std::vector<WriterCall> calls;
};

TEST_F(FaultTest, AFullDiskFailsEveryCallThatWrites) {
    const size_t capacity = CollectFileReaderWriter::kWriteBufferCapacity;
    const std::vector<FullDiskCase> cases = {
        {"a flush, every flush after it and Close; buffering itself never fails",
         ACCESS_WRITE,
         {{WriterCall::kWrite, "a", true},
          {WriterCall::kFlush, "", false},
          {WriterCall::kWrite, "b", true},
          {WriterCall::kFlush, "", false},
          {WriterCall::kClose, "", false}}},
        {"the Close that flushes first",
         ACCESS_APPEND,
         {{WriterCall::kWrite, "a", true}, {WriterCall::kClose, "", false}}},
        {"the line that flushes",
         ACCESS_WRITE,
         {{WriterCall::kWrite, std::string(capacity - 1, 'x'), true},
          {WriterCall::kWrite, "next", false}}},
        {"a text longer than the buffer",
         ACCESS_WRITE,
         {{WriterCall::kWrite, std::string(capacity + 1, 'x'), false}}},
    };
    for (const FullDiskCase& c : cases) {
        SCOPED_TRACE(c.name);
        CollectFileReaderWriter writer;
        ASSERT_TRUE(writer.OpenFile("/dev/full", c.mode));
        for (size_t i = 0; i < c.calls.size(); ++i) {
            SCOPED_TRACE(::testing::Message() << "call " << i);
            const WriterCall& call = c.calls[i];
            switch (call.kind) {
                case WriterCall::kWrite:
                    EXPECT_EQ(writer.writeLine(call.text.c_str()), call.result);
                    break;
                case WriterCall::kFlush:
                    EXPECT_EQ(writer.WriteDataToFile(), call.result);
                    break;
                case WriterCall::kClose:
                    EXPECT_EQ(writer.Close(), call.result);
                    break;
            }
        }
    }
}

TEST_F(FaultTest, ReadingGoesOnAfterTheFileIsRemoved) {
    std::string bytes;
    for (int i = 0; i < 20000; ++i) {
        bytes += "line " + std::to_string(i) + "\n";
    }
    CollectFileReaderWriter reader;
    ASSERT_TRUE(reader.OpenFile(fileWith(bytes), ACCESS_READ));
    ASSERT_TRUE(reader.RemoveFile());
    int count = 0;
    std::string line;
    while (reader.readLine(line)) {
        ASSERT_EQ(line, "line " + std::to_string(count));
        ++count;
    }
    EXPECT_EQ(count, 20000);
}

TEST_F(FaultTest, AWriterWhoseFileWasRemovedClosesCleanly) {
    CollectFileReaderWriter writer;
    ASSERT_TRUE(writer.OpenFile(pathOf("out"), ACCESS_WRITE));
    ASSERT_TRUE(writer.writeLine("a"));
    ASSERT_TRUE(writer.RemoveFile());
    const std::string big(CollectFileReaderWriter::kWriteBufferCapacity, 'b');
    EXPECT_TRUE(writer.writeLine(big.c_str()));
    EXPECT_TRUE(writer.Close());
    EXPECT_FALSE(writer.isFileExists());
}

TEST_F(FaultTest, ReadsEndWhenAnotherWriterTruncatesTheFile) {
    std::string bytes;
    for (int i = 0; i < 50000; ++i) {
        bytes += "entry " + std::to_string(i) + "\n";
    }
    const std::string path = fileWith(bytes);
    CollectFileReaderWriter reader;
    ASSERT_TRUE(reader.OpenFile(path, ACCESS_READ));
    std::string line;
    ASSERT_TRUE(reader.readLine(line));
    ASSERT_EQ(truncate(path.c_str(), 100), 0);
    int reads = 0;
    while (reader.readLine(line)) {
        ASSERT_LT(++reads, 50000) << "read past what the file still holds";
    }
    EXPECT_FALSE(reader.readLine(line));
}

TEST_F(FaultTest, AReadErrorFailsTheStreamWithoutEndingTheFile) {
    // This process's memory is a regular file whose first pages cannot be read: reading it
    // from address 0 fails with an I/O error, and so does a far seek's block read, which
    // still succeeds as a seek does and leaves the error to the next read.
    if (!kReadErrorsReported) {
        GTEST_SKIP() << "libc++'s file buffer reads an I/O error as the end of the file";
    }
    for (bool farSeekFirst : {false, true}) {
        SCOPED_TRACE(farSeekFirst ? "at the read after a far seek" : "at the first read");
        CollectFileReaderWriter reader;
        ASSERT_TRUE(reader.OpenFile("/proc/self/mem", ACCESS_READ));
        if (farSeekFirst) {
            EXPECT_TRUE(reader.seek(0x200000UL));  // far from the empty buffer, never mapped
        }
        std::string line = "x";
        EXPECT_FALSE(reader.readLine(line));
        EXPECT_EQ(line, "") << "a failed read that is not at the end delivers the empty text";
        EXPECT_FALSE(reader.seek(""));
        EXPECT_FALSE(reader.ReadDataFromFile());
        char shortLine[8];
        EXPECT_TRUE(reader.readLine(shortLine));
        EXPECT_TRUE(reader.Close());
    }
}

struct LargestPositionCase {
    const char* name;
    unsigned long position;
    bool memoryBacked;  // in /dev/shm, which accepts the position; elsewhere it may be refused
    bool farSeekFirst;  // a far seek and a read first, so that the next refill is small
};

TEST_F(FaultTest, ReadsFailAfterASeekNearTheLargestPosition) {
    // Whether the file system accepts the position or not, nothing is read there and the
    // stream never recovers. Where it is accepted, a whole block read would pass 2^63 - 1 and
    // fails as a read error (the text becomes empty); a smaller refill left by an earlier seek
    // must not turn that into the end of the file (the text unchanged).
    std::string bytes;
    for (int i = 0; i < 4000; ++i) {
        bytes += std::string(99, static_cast<char>('a' + i % 26)) + "\n";
    }
    const unsigned long nearLargest = 0x7fffffffffffffffUL - 34221;
    const std::vector<LargestPositionCase> cases = {
        {"256 bytes below it", 0x7fffffffffffff00UL, false, false},
        {"64 KiB below it", 0x7fffffffffff0000UL, false, false},
        {"a memory-backed file, on a fresh object", nearLargest, true, false},
        {"a memory-backed file, after a far seek and a read", nearLargest, true, true},
    };
    // Only a memory file system accepts positions that far; /dev/shm may be a plain folder.
    char shmPath[] = "/dev/shm/collect_file_test.XXXXXX";
    int fd = mkstemp(shmPath);
    struct statfs fileSystem;
    if (fd >= 0 && (fstatfs(fd, &fileSystem) != 0 || fileSystem.f_type != TMPFS_MAGIC)) {
        close(fd);
        unlink(shmPath);
        fd = -1;
    }
    if (fd >= 0) {
        close(fd);
        writeBytes(shmPath, bytes);
    }
    const std::string path = fileWith(bytes);
    for (const LargestPositionCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.memoryBacked && (fd < 0 || !kReadErrorsReported)) {
            continue;  // no memory-backed /dev/shm, or libc++ reads an I/O error as the end of the
                       // file
        }
        CollectFileReaderWriter reader;
        ASSERT_TRUE(reader.OpenFile(c.memoryBacked ? shmPath : path, ACCESS_READ));
        std::string line = "unchanged";
        if (c.farSeekFirst) {
            ASSERT_TRUE(reader.seek(300000UL));
            ASSERT_TRUE(reader.readLine(line));
            EXPECT_EQ(line, bytes.substr(300000, 99));
        }
        const bool moved = reader.seek(c.position);
        EXPECT_TRUE(moved || !c.memoryBacked);
        line = "unchanged";
        EXPECT_FALSE(reader.readLine(line));
        if (c.memoryBacked) {
            EXPECT_EQ(line, "") << "a read error, not the end of the file";
        }
        EXPECT_FALSE(reader.seek(0UL));
    }
    if (fd >= 0) {
        unlink(shmPath);
    }
}

TEST_F(FaultTest, AFileOfNulBytesDeliversEmptyTexts) {
    CollectFileReaderWriter reader;
    ASSERT_TRUE(reader.OpenFile(fileWith(std::string(100, '\0') + "\n" + std::string(7, '\0')),
                                ACCESS_READ));
    std::string line = "x";
    EXPECT_TRUE(reader.readLine(line));
    EXPECT_EQ(line, "");
    char shortLine[8] = "x";
    EXPECT_FALSE(reader.readLine(shortLine)) << "a last line of 7 NUL bytes";
    EXPECT_STREQ(shortLine, "");
    EXPECT_TRUE(reader.readLine(shortLine));
}

TEST_F(FaultTest, AFileOfOnlyDelimitersIsEmptyLines) {
    for (char delimiter : {'\n', ';', '\0'}) {
        CollectFileReaderWriter reader;
        reader.setNewLineDelimiter(delimiter);
        ASSERT_TRUE(reader.OpenFile(fileWith(std::string(5000, delimiter)), ACCESS_READ));
        int lines = 0;
        std::string line;
        while (reader.readLine(line)) {
            ASSERT_EQ(line, "") << "delimiter " << int(delimiter);
            ++lines;
        }
        EXPECT_EQ(lines, 5000) << "delimiter " << int(delimiter);
    }
}

TEST_F(FaultTest, AOneMebibyteLineIsWrittenWholeAndReadAsTooLong) {
    const std::string huge(1 << 20, 'm');
    const std::string path = pathOf("huge");
    CollectFileReaderWriter writer;
    ASSERT_TRUE(writer.OpenFile(path, ACCESS_WRITE));
    ASSERT_TRUE(writer.writeLine(huge.c_str()));
    ASSERT_TRUE(writer.Close());
    ASSERT_EQ(CollectFileReaderWriter::getFileSize(path), huge.size() + 1);

    CollectFileReaderWriter reader;
    ASSERT_TRUE(reader.OpenFile(path, ACCESS_READ));
    std::string line;
    EXPECT_FALSE(reader.readLine(line));
    EXPECT_EQ(line.size(), 2047u);
    CollectFileReaderWriter skipper;
    ASSERT_TRUE(skipper.OpenFile(path, ACCESS_READ));
    EXPECT_FALSE(skipper.ReadDataFromFile());
    CollectFileReaderWriter shortReader;
    ASSERT_TRUE(shortReader.OpenFile(path, ACCESS_READ));
    char shortLine[8];
    EXPECT_TRUE(shortReader.readLine(shortLine));
    EXPECT_STREQ(shortLine, "mmmmmmm");
}

}  // namespace
