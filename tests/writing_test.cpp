#include <collect_file/CollectFileReaderWriter.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr size_t kCapacity = CollectFileReaderWriter::kWriteBufferCapacity;

// A text of n bytes whose last byte is lastByte.
std::string textOf(size_t n, char lastByte = 'x') {
    std::string text(n, 'x');
    if (n > 0) {
        text.back() = lastByte;
    }
    return text;
}

class WritingTest : public TempDirTest {};

struct NewlineCase {
    const char* name;
    std::vector<std::string> texts;
    std::string expectedFile;
};

TEST_F(WritingTest, EndsEveryLineWithExactlyOneNewline) {
    const std::vector<NewlineCase> cases = {
        {"text without newline gets one", {"a", "b\n"}, "a\nb\n"},
        {"empty first text is an empty line", {""}, "\n"},
        {"empty text after content adds nothing", {"a", ""}, "a\n"},
        {"two empty texts write one empty line", {"", ""}, "\n"},
        {"inner newlines are kept", {"x\ny", "z\n\n"}, "x\ny\nz\n\n"},
        {"no texts give an empty file", {}, ""},
        // The 65,537 bytes buffered are flushed first, so the empty text meets an empty buffer.
        {"an empty text right after a text of a full buffer is an empty line",
         {textOf(kCapacity), ""},
         textOf(kCapacity) + "\n\n"},
    };
    for (const NewlineCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(writtenBytes(c.texts), c.expectedFile);
    }
}

TEST_F(WritingTest, EndsLinesWithNewlineWhateverTheReadDelimiter) {
    // The read delimiter ';' neither ends a line for writing nor keeps a '\n' from doing so.
    const std::vector<NewlineCase> cases = {
        {"a text without either", {"x"}, "x\n"},
        {"a text ending in the delimiter, then one ending in newline",
         {"k=v;", "x\n"},
         "k=v;\nx\n"},
        {"a text ending in newline, then one ending in the delimiter",
         {"x\n", "k=v;"},
         "x\nk=v;\n"},
        {"an empty text after the delimiter", {"k=v;", ""}, "k=v;\n"},
    };
    for (const NewlineCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = pathOf("out");
        CollectFileReaderWriter writer;
        writer.setNewLineDelimiter(';');
        ASSERT_TRUE(writer.OpenFile(path, ACCESS_WRITE));
        for (const std::string& text : c.texts) {
            EXPECT_TRUE(writer.writeLine(text.c_str()));
        }
        EXPECT_TRUE(writer.Close());
        EXPECT_EQ(readBytes(path), c.expectedFile);
    }
}

struct ChunkCase {
    const char* name;
    size_t firstLength;  // bytes buffered by the first text, its newline included
    std::string second;
    uint64_t fileSizeAfterSecond;  // what the flushes have written by then
};

TEST_F(WritingTest, FlushesWhenTheNextTextDoesNotFit) {
    const std::vector<ChunkCase> cases = {
        {"600 bytes after 65000 do not fit", 65000, textOf(600), 65000},
        {"536 bytes ending in newline after 65000 fit exactly", 65000, textOf(536, '\n'), 0},
        {"537 bytes ending in newline after 65000 do not fit", 65000, textOf(537, '\n'), 65000},
        {"536 bytes without newline after 65000 fit with the headroom byte", 65000, textOf(536), 0},
        {"a full buffer plus headroom is flushed by an empty text", kCapacity + 1, "", 65537},
        {"a text of the whole capacity after buffered content starts a fresh buffer", 100,
         textOf(kCapacity), 100},
        {"so does one that already ends in newline", 100, textOf(kCapacity, '\n'), 100},
    };
    for (const ChunkCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = pathOf("chunk");
        // The first text is written without its newline; the buffer adds it.
        const std::string first = textOf(c.firstLength - 1, 'f');
        CollectFileReaderWriter writer;
        ASSERT_TRUE(writer.OpenFile(path, ACCESS_WRITE));
        ASSERT_TRUE(writer.writeLine(first.c_str()));
        ASSERT_EQ(CollectFileReaderWriter::getFileSize(path), 0u);
        EXPECT_TRUE(writer.writeLine(c.second.c_str()));
        EXPECT_EQ(CollectFileReaderWriter::getFileSize(path), c.fileSizeAfterSecond);
        EXPECT_TRUE(writer.Close());
        std::string expected = first + "\n" + c.second;
        if (c.second.empty() || c.second.back() != '\n') {
            expected += '\n';
        }
        EXPECT_TRUE(readBytes(path) == expected);
    }
}

TEST_F(WritingTest, WritesATextLongerThanTheBufferStraightThroughInOrder) {
    const std::string path = pathOf("long");
    const std::string longText = textOf(kCapacity * 2 + 5, 'L');
    const std::string longLine = textOf(kCapacity + 1, '\n');
    CollectFileReaderWriter writer;
    ASSERT_TRUE(writer.OpenFile(path, ACCESS_WRITE));
    ASSERT_TRUE(writer.writeLine("before"));
    EXPECT_TRUE(writer.writeLine(longText.c_str()));
    // The buffered line and the long text are both on disk at once.
    EXPECT_TRUE(readBytes(path) == "before\n" + longText + "\n");
    EXPECT_TRUE(writer.writeLine(longLine.c_str()));
    EXPECT_TRUE(writer.writeLine("after"));
    EXPECT_TRUE(writer.Close());
    EXPECT_TRUE(readBytes(path) == "before\n" + longText + "\n" + longLine + "after\n");
}

TEST_F(WritingTest, RefusesALongTextWhereNoFlushIsPossible) {
    const std::string path = fileWith("kept\n");
    const std::string longText = textOf(kCapacity + 1);

    CollectFileReaderWriter unbound;
    EXPECT_FALSE(unbound.writeLine(longText.c_str()));

    CollectFileReaderWriter reader;
    ASSERT_TRUE(reader.OpenFile(path, ACCESS_READ));
    EXPECT_FALSE(reader.writeLine(longText.c_str()));
    EXPECT_TRUE(reader.Close());

    CollectFileReaderWriter closed;
    ASSERT_TRUE(closed.OpenFile(pathOf("closed"), ACCESS_WRITE));
    ASSERT_TRUE(closed.Close());
    EXPECT_FALSE(closed.writeLine(longText.c_str()));

    EXPECT_EQ(readBytes(path), "kept\n");
    EXPECT_EQ(readBytes(pathOf("closed")), "");
}

TEST_F(WritingTest, NullTextIsRefusedAndChangesNothing) {
    const std::string path = pathOf("out");
    CollectFileReaderWriter writer;
    ASSERT_TRUE(writer.OpenFile(path, ACCESS_WRITE));
    ASSERT_TRUE(writer.writeLine("a"));
    EXPECT_FALSE(writer.writeLine(nullptr));
    EXPECT_TRUE(writer.Close());
    EXPECT_EQ(readBytes(path), "a\n");
}

TEST_F(WritingTest, ASeekMovesWhereTheNextFlushWritesUnlessAppending) {
    struct Case {
        AccessMode mode;
        const char* before;  // the file's content before it is opened
        const char* after;
    };
    const Case cases[] = {
        {ACCESS_WRITE, "old\n", "01ab\n56789\n"},
        {ACCESS_APPEND, "old\n", "old\n0123456789\nab\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode);
        const std::string path = fileWith(c.before);
        CollectFileReaderWriter writer;
        ASSERT_TRUE(writer.OpenFile(path, c.mode));
        ASSERT_TRUE(writer.writeLine("0123456789"));
        ASSERT_TRUE(writer.WriteDataToFile());
        EXPECT_TRUE(writer.seek(2UL));
        EXPECT_TRUE(writer.writeLine("ab"));
        EXPECT_TRUE(writer.Close());
        EXPECT_EQ(readBytes(path), c.after);
    }
}

TEST_F(WritingTest, TheDestructorFlushesBufferedLines) {
    const std::string path = pathOf("out");
    {
        CollectFileReaderWriter writer;
        ASSERT_TRUE(writer.OpenFile(path, ACCESS_WRITE));
        ASSERT_TRUE(writer.writeLine("kept"));
    }
    EXPECT_EQ(readBytes(path), "kept\n");
}

TEST_F(WritingTest, LinesBufferedBeforeOpeningReachTheFile) {
    const std::string path = pathOf("out");
    CollectFileReaderWriter writer;
    EXPECT_TRUE(writer.writeLine("a"));
    ASSERT_TRUE(writer.OpenFile(path, ACCESS_WRITE));
    EXPECT_TRUE(writer.Close());
    EXPECT_EQ(readBytes(path), "a\n");
}

TEST_F(WritingTest, ReadModeBuffersUntilATextDoesNotFitAndNeverWrites) {
    const std::string path = fileWith("content\n");
    const std::string half = textOf(kCapacity / 2);
    CollectFileReaderWriter reader;
    ASSERT_TRUE(reader.OpenFile(path, ACCESS_READ));
    EXPECT_TRUE(reader.writeLine(half.c_str()));
    EXPECT_FALSE(reader.writeLine(half.c_str()));  // would pass the capacity
    EXPECT_FALSE(reader.WriteDataToFile());
    EXPECT_TRUE(reader.writeLine("short"));  // still fits behind the kept content
    EXPECT_FALSE(reader.writeLine(half.c_str()));
    EXPECT_TRUE(reader.Close());
    EXPECT_EQ(readBytes(path), "content\n");
}

TEST_F(WritingTest, AfterCloseALineThatDoesNotFitDropsTheBuffer) {
    const std::string path = pathOf("out");
    const std::string big = textOf(kCapacity - 10);
    CollectFileReaderWriter writer;
    ASSERT_TRUE(writer.OpenFile(path, ACCESS_WRITE));
    ASSERT_TRUE(writer.writeLine("written"));
    ASSERT_TRUE(writer.Close());
    EXPECT_TRUE(writer.writeLine(big.c_str()));  // buffered; the file is closed
    EXPECT_FALSE(writer.writeLine(big.c_str()));
    EXPECT_TRUE(writer.writeLine("x"));  // the buffer started empty again
    EXPECT_EQ(readBytes(path), "written\n");
}

TEST_F(WritingTest, ReadingAWritingObjectMakesEveryLaterFlushWriteNothing) {
    const std::string path = pathOf("out");
    CollectFileReaderWriter writer;
    ASSERT_TRUE(writer.OpenFile(path, ACCESS_WRITE));
    ASSERT_TRUE(writer.writeLine("a"));
    std::string line = "unchanged";
    EXPECT_FALSE(writer.readLine(line));
    EXPECT_FALSE(writer.Close());
    EXPECT_EQ(readBytes(path), "");
}

}  // namespace
