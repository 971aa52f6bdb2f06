#include <collect_file/CollectFileReaderWriter.h>

#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr unsigned long kMaxOffset = std::numeric_limits<unsigned long>::max();

struct Read {
    bool result;
    std::string line;
};

struct ReadCase {
    const char* name;
    std::string bytes;
    char delimiter;
    std::vector<Read> reads;  // readLine(line) results, with line as it stands after each
};

class ReadingTest : public TempDirTest {};

TEST_F(ReadingTest, SplitsLinesAtTheDelimiter) {
    const std::string nul("ab\0cd\nef\n", 9);
    const std::vector<ReadCase> cases = {
        {"two lines", "a\nb\n", '\n', {{true, "a"}, {true, "b"}, {false, "b"}}},
        {"last line without newline", "a\nb", '\n', {{true, "a"}, {true, "b"}, {false, "b"}}},
        {"a lone delimiter is an empty line", "\n", '\n', {{true, ""}, {false, ""}}},
        {"empty file", "", '\n', {{false, "start"}}},
        {"semicolon", "a;b\nc;", ';', {{true, "a"}, {true, "b\nc"}, {false, "b\nc"}}},
        {"NUL ends the delivered text", nul, '\n', {{true, "ab"}, {true, "ef"}}},
        {"delimiter never found", "abc\ndef\n", '|', {{true, "abc\ndef\n"}, {false, "abc\ndef\n"}}},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        CollectFileReaderWriter reader;
        reader.setNewLineDelimiter(c.delimiter);
        openForReading(reader, c.bytes);
        std::string line = "start";
        for (size_t i = 0; i < c.reads.size(); ++i) {
            EXPECT_EQ(reader.readLine(line), c.reads[i].result) << "read #" << i + 1;
            EXPECT_EQ(line, c.reads[i].line) << "read #" << i + 1;
        }
    }
}

TEST_F(ReadingTest, ReadsWithAnotherDelimiterWhatTheWriterEndedWithNewlines) {
    const std::string path = pathOf("written");
    CollectFileReaderWriter writer;
    ASSERT_TRUE(writer.OpenFile(path, ACCESS_WRITE));
    ASSERT_TRUE(writer.writeLine("k1=v1;k2=v2"));
    ASSERT_TRUE(writer.writeLine("k3=v3;"));
    ASSERT_TRUE(writer.Close());

    CollectFileReaderWriter reader;
    reader.setNewLineDelimiter(';');
    ASSERT_TRUE(reader.OpenFile(path, ACCESS_READ));
    std::vector<std::string> fields;
    std::string field;
    while (reader.readLine(field)) {
        fields.push_back(field);
    }
    EXPECT_EQ(fields, (std::vector<std::string>{"k1=v1", "k2=v2\nk3=v3", "\n"}));
}

struct LengthCase {
    const char* name;
    size_t length;
    bool newline;
    bool deliveredWhole;
};

TEST_F(ReadingTest, DeliversLinesUpTo2047BytesAndFailsLongerOnes) {
    const std::vector<LengthCase> cases = {
        {"2046", 2046, true, true},
        {"2047", 2047, true, true},
        {"2047 at the end without newline", 2047, false, true},
        {"2048", 2048, true, false},
        {"2048 at the end without newline", 2048, false, false},
    };
    for (const LengthCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text(c.length, 'q');
        CollectFileReaderWriter reader;
        openForReading(reader, text + (c.newline ? "\nnext\n" : ""));
        std::string line;
        EXPECT_EQ(reader.readLine(line), c.deliveredWhole);
        EXPECT_TRUE(line == text.substr(0, 2047));
        if (!c.deliveredWhole) {
            // The stream has failed for good: the rest of the line is never delivered.
            EXPECT_FALSE(reader.readLine(line));
            EXPECT_EQ(line, "");
            EXPECT_FALSE(reader.seek(0UL));
            char shortLine[8];
            EXPECT_TRUE(reader.readLine(shortLine));
        }
    }
}

struct BoundaryCase {
    const char* name;
    std::string line;  // starts a few bytes before the reader's 64 KiB block ends
    bool result;
    std::string delivered;
};

TEST_F(ReadingTest, LinesAcrossTheReadBlockBoundary) {
    const std::string whole(2047, 'w');
    const std::string nul = std::string(1500, 'n') + '\0' + std::string(546, 'n');
    const std::vector<BoundaryCase> cases = {
        {"2047 bytes", whole, true, whole},
        {"2048 bytes", whole + "w", false, whole},
        {"NUL after the boundary", nul, true, std::string(1500, 'n')},
        {"empty", "", true, ""},
    };
    for (const BoundaryCase& c : cases) {
        for (size_t before : {0, 1, 2, 1000, 1500, 2046, 2047, 2048}) {
            const std::string where =
                std::string(c.name) + ", " + std::to_string(before) + " bytes before the boundary";
            // Filler lines of 1,000 bytes, then one that ends where the tested line must start.
            std::string bytes;
            while (bytes.size() + 1000 <= 65536 - before) {
                bytes += std::string(999, 'f') + "\n";
            }
            const size_t rest = 65536 - before - bytes.size();
            bytes += rest > 0 ? std::string(rest - 1, 'g') + "\n" : "";
            const size_t start = bytes.size();
            bytes += c.line + "\nnext\n";

            CollectFileReaderWriter reader;
            ASSERT_TRUE(reader.OpenFile(fileWith(bytes), ACCESS_READ)) << where;
            std::string line;
            unsigned long offset = 0;
            for (size_t filler = 0; filler < start / 1000 + (rest > 0 ? 1 : 0); ++filler) {
                ASSERT_TRUE(reader.readLine(line)) << where;
            }
            EXPECT_EQ(reader.readLine(line, offset), c.result) << where;
            EXPECT_TRUE(line == c.delivered) << where;
            if (c.result) {
                // A NUL shortens the delivered text, and the offset moves by as much.
                EXPECT_EQ(offset + 1, start + c.line.size() - c.delivered.size()) << where;
                EXPECT_TRUE(reader.readLine(line, offset)) << where;
                EXPECT_EQ(line, "next") << where;
                EXPECT_EQ(offset + 1, start + c.line.size() + 1) << where;
            }
        }
    }
}

TEST_F(ReadingTest, OffsetsAreOneLessThanWhereEachLineStarts) {
    CollectFileReaderWriter reader;
    openForReading(reader, "abc\ndef\n\nghij");
    const std::vector<std::pair<std::string, unsigned long>> expected = {
        {"abc", kMaxOffset}, {"def", 3}, {"", 7}, {"ghij", 8}};
    std::string line;
    unsigned long offset = 0;
    for (const auto& e : expected) {
        EXPECT_TRUE(reader.readLine(line, offset)) << e.first;
        EXPECT_EQ(line, e.first);
        EXPECT_EQ(offset, e.second) << e.first;
    }
    EXPECT_TRUE(reader.seek("")) << "a delivered last line leaves the stream healthy at the end";
    EXPECT_FALSE(reader.readLine(line, offset));
    EXPECT_EQ(line, "ghij");
    EXPECT_EQ(offset, 8u);
    EXPECT_FALSE(reader.seek(0UL));
}

TEST_F(ReadingTest, OffsetOfAFailedReadCountsFromMinusOne) {
    CollectFileReaderWriter reader;
    openForReading(reader, std::string(3000, 'z') + "\n");
    std::string line;
    unsigned long offset = 0;
    EXPECT_FALSE(reader.readLine(line, offset));
    EXPECT_EQ(line.size(), 2047u);
    EXPECT_EQ(offset, kMaxOffset - 2047 - 2);
    EXPECT_FALSE(reader.readLine(line, offset));
    EXPECT_EQ(line, "");
    EXPECT_EQ(offset, kMaxOffset - 2);
}

TEST_F(ReadingTest, OkFormReportsThroughItsArgument) {
    CollectFileReaderWriter reader;
    openForReading(reader, "a\nb");
    bool ok = false;
    EXPECT_EQ(reader.readLine(ok), "a");
    EXPECT_TRUE(ok);
    EXPECT_EQ(reader.readLine(ok), "b");
    EXPECT_TRUE(ok);
    EXPECT_EQ(reader.readLine(ok), "");
    EXPECT_FALSE(ok);
}

TEST_F(ReadingTest, ShortFormStoresAtMostEightBytesWithReversedResult) {
    CollectFileReaderWriter reader;
    openForReading(reader, "seven77\neight888\n");
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_FALSE(reader.readLine(buffer));
    EXPECT_STREQ(buffer, "seven77");
    EXPECT_TRUE(reader.readLine(buffer));
    EXPECT_STREQ(buffer, "eight88");
    EXPECT_EQ(std::string(buffer + 8, 8), std::string(8, '#')) << "wrote past the eighth byte";
    EXPECT_TRUE(reader.readLine(buffer));
    EXPECT_STREQ(buffer, "");
}

TEST_F(ReadingTest, ShortFormDeliversALastLineThenReportsTheEnd) {
    CollectFileReaderWriter reader;
    openForReading(reader, "abc");
    char buffer[8];
    EXPECT_FALSE(reader.readLine(buffer));
    EXPECT_STREQ(buffer, "abc");
    EXPECT_TRUE(reader.readLine(buffer));
    EXPECT_STREQ(buffer, "");
}

TEST_F(ReadingTest, ShortFormWithANullBufferReadsNothing) {
    CollectFileReaderWriter reader;
    openForReading(reader, "a\n");
    EXPECT_TRUE(reader.readLine(static_cast<char*>(nullptr)));
    std::string line;
    EXPECT_TRUE(reader.readLine(line));
    EXPECT_EQ(line, "a");
}

TEST_F(ReadingTest, EveryFormFailsAfterAFailedOpen) {
    CollectFileReaderWriter reader;
    ASSERT_FALSE(reader.OpenFile(pathOf("missing"), ACCESS_READ));
    std::string line = "x";
    unsigned long offset = 0;
    bool ok = true;
    char buffer[8] = "x";
    EXPECT_FALSE(reader.readLine(line));
    EXPECT_EQ(line, "");
    line = "x";
    EXPECT_FALSE(reader.readLine(line, offset));
    EXPECT_EQ(line, "");
    EXPECT_EQ(offset, kMaxOffset - 2);
    EXPECT_EQ(reader.readLine(ok), "");
    EXPECT_FALSE(ok);
    EXPECT_TRUE(reader.readLine(buffer));
    EXPECT_STREQ(buffer, "");
    EXPECT_FALSE(reader.ReadDataFromFile());
    EXPECT_FALSE(reader.seek(""));
}

TEST_F(ReadingTest, ReadDataFromFileReadsToTheEnd) {
    CollectFileReaderWriter reader;
    openForReading(reader, "a\nb\n");
    EXPECT_TRUE(reader.ReadDataFromFile());
    std::string line = "kept";
    EXPECT_FALSE(reader.readLine(line));
    EXPECT_EQ(line, "kept");
    EXPECT_TRUE(reader.ReadDataFromFile()) << "already at the end";
}

TEST_F(ReadingTest, ReadDataFromFileReadsThroughLinesOfTheLongestLength) {
    const std::string longest(2047, 'x');
    for (const std::string& bytes : {longest + "\n" + longest + "\n", longest + "\n" + longest}) {
        SCOPED_TRACE(bytes.size());
        CollectFileReaderWriter reader;
        openForReading(reader, bytes);
        EXPECT_TRUE(reader.ReadDataFromFile());
    }
}

TEST_F(ReadingTest, ReadDataFromFileFailsWhenItCannotReadThrough) {
    CollectFileReaderWriter tooLong;
    openForReading(tooLong, "a\n" + std::string(2048, 'x') + "\nb\n");
    EXPECT_FALSE(tooLong.ReadDataFromFile());

    CollectFileReaderWriter writer;
    ASSERT_TRUE(writer.OpenFile(pathOf("out"), ACCESS_WRITE));
    EXPECT_FALSE(writer.ReadDataFromFile());
    EXPECT_TRUE(writer.Close()) << "a refused ReadDataFromFile reads nothing";
}

TEST_F(ReadingTest, RoundTripOfGeneratedLines) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> length(1, 2047);
    std::uniform_int_distribution<int> byte(1, 255);
    std::vector<std::string> lines(5000);
    for (std::string& line : lines) {
        line.resize(length(random));
        for (char& c : line) {
            do {
                c = static_cast<char>(byte(random));
            } while (c == '\n');
        }
    }
    writtenBytes(lines, ACCESS_WRITE, "round_trip");
    const std::vector<std::string> readBack = readAllLines(pathOf("round_trip"));
    ASSERT_EQ(readBack.size(), lines.size());
    EXPECT_TRUE(readBack == lines);
}

}  // namespace
