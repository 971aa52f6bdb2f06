#include <collect_file/CollectFileReaderWriter.h>

#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

const char kSixLetters[] = "abc\ndef\n";

class PositioningTest : public TempDirTest {};

struct SeekCase {
    const char* name;
    int linesReadFirst;
    unsigned long offset;
    SeekPosition origin;
    bool seekResult;
    bool readResult;
    std::string lineAfter;  // "unchanged" when the read must not touch it
};

TEST_F(PositioningTest, SeeksFromEachOrigin) {
    const std::vector<SeekCase> cases = {
        {"from the start", 0, 5, SEEK_FROM_START, true, true, "ef"},
        {"from the current position", 1, 2, SEEK_FROM_CURRENT, true, true, "f"},
        {"any other origin counts from the current position", 1, 1, static_cast<SeekPosition>(42),
         true, true, "ef"},
        {"to the end", 0, 0, SEEK_FROM_END, true, false, "unchanged"},
        {"backwards from the end", 0, static_cast<unsigned long>(-3), SEEK_FROM_END, true, true,
         "ef"},
        {"backwards from the current position", 1, static_cast<unsigned long>(-2),
         SEEK_FROM_CURRENT, true, true, "c"},
        {"before the start", 0, static_cast<unsigned long>(-1), SEEK_FROM_START, false, false, ""},
    };
    for (const SeekCase& c : cases) {
        SCOPED_TRACE(c.name);
        CollectFileReaderWriter reader;
        openForReading(reader, kSixLetters);
        std::string line;
        for (int i = 0; i < c.linesReadFirst; ++i) {
            reader.readLine(line);
        }
        EXPECT_EQ(reader.seek(c.offset, c.origin), c.seekResult);
        line = "unchanged";
        EXPECT_EQ(reader.readLine(line), c.readResult);
        EXPECT_EQ(line, c.lineAfter);
    }
}

TEST_F(PositioningTest, SeekToZeroRereadsUntilTheEndIsReached) {
    CollectFileReaderWriter reader;
    openForReading(reader, kSixLetters);
    std::string line;
    ASSERT_TRUE(reader.readLine(line));
    ASSERT_TRUE(reader.readLine(line));
    EXPECT_TRUE(reader.seek(0UL));
    EXPECT_TRUE(reader.readLine(line));
    EXPECT_EQ(line, "abc");
}

// 4,000 lines of 100 bytes: more than one 64 KiB block.
std::string hundredByteLines() {
    std::string bytes;
    for (int i = 0; i < 4000; ++i) {
        bytes += std::string(99, static_cast<char>('a' + i % 26)) + "\n";
    }
    return bytes;
}

struct StuckCase {
    const char* name;
    std::string bytes;
    // Brings a reader of bytes to the end of the file or to a failure.
    std::function<void(CollectFileReaderWriter&)> bringThere;
    unsigned long target;  // where a healthy reader could go, inside the bytes held if any
};

TEST_F(PositioningTest, NoSeekMovesAfterTheEndOrAFailure) {
    const std::string big = hundredByteLines();
    const unsigned long lastLine = big.size() - 100;
    auto readLines = [](int n) {
        return [n](CollectFileReaderWriter& reader) {
            std::string line;
            for (int i = 0; i < n; ++i) {
                reader.readLine(line);
            }
        };
    };
    const std::vector<StuckCase> cases = {
        {"the end, reached by reading", kSixLetters, readLines(3), 0},
        {"the end, reached by delivering a last line without delimiter", "a\nb", readLines(2), 0},
        {"the end, reached by ReadDataFromFile", "a\nb",
         [](CollectFileReaderWriter& reader) { EXPECT_TRUE(reader.ReadDataFromFile()); }, 0},
        {"the end, reached after a far seek", big,
         [&](CollectFileReaderWriter& reader) {
             ASSERT_TRUE(reader.seek(lastLine));
             readLines(2)(reader);
         },
         lastLine},
        {"a failed seek from here", big,
         [](CollectFileReaderWriter& reader) {
             std::string line;
             ASSERT_TRUE(reader.readLine(line));
             EXPECT_FALSE(reader.seek(static_cast<unsigned long>(-200), SEEK_FROM_CURRENT));
         },
         0},
        {"a failed seek before the start", kSixLetters,
         [](CollectFileReaderWriter& reader) {
             EXPECT_FALSE(reader.seek(static_cast<unsigned long>(-10), SEEK_FROM_START));
         },
         0},
        // The stream holds the bytes before it, so a seek there could be answered from them.
        {"a line too long", std::string(2048, 'q') + "\nnext\n", readLines(1), 0},
        {"a closed stream", big,
         [](CollectFileReaderWriter& reader) {
             ASSERT_TRUE(reader.seek(5000UL));
             ASSERT_TRUE(reader.Close());
         },
         5000},
    };
    for (const StuckCase& c : cases) {
        SCOPED_TRACE(c.name);
        CollectFileReaderWriter reader;
        openForReading(reader, c.bytes);
        c.bringThere(reader);
        EXPECT_FALSE(reader.seek(c.target));
        EXPECT_FALSE(reader.seek(c.target)) << "a failed seek never recovers";
        EXPECT_FALSE(reader.seek(0UL));
        EXPECT_FALSE(reader.seek(""));
        std::string line = "unchanged";
        EXPECT_FALSE(reader.readLine(line));
        EXPECT_EQ(line, "") << "the stream failed without being at the end";
    }
}

TEST_F(PositioningTest, SeekByNameReportsTheStateWithoutMoving) {
    CollectFileReaderWriter reader;
    openForReading(reader, kSixLetters);
    std::string line;
    ASSERT_TRUE(reader.readLine(line));
    EXPECT_TRUE(reader.seek("anything"));
    EXPECT_TRUE(reader.seek(static_cast<const char*>(nullptr)));
    ASSERT_TRUE(reader.readLine(line));
    EXPECT_EQ(line, "def");
}

TEST_F(PositioningTest, SeekFailsWithoutAnOpenFile) {
    CollectFileReaderWriter unbound;
    EXPECT_FALSE(unbound.seek(0UL));
    EXPECT_FALSE(unbound.seek(""));
}

TEST_F(PositioningTest, ASecondReaderSeeksBackToEveryLineThroughItsOffset) {
    std::string bytes;
    std::vector<std::string> lines;
    for (int i = 0; i < 3000; ++i) {
        lines.push_back("entry " + std::to_string(i) + std::string(i % 97, '.'));
        bytes += lines.back() + "\n";
    }
    const std::string path = fileWith(bytes.substr(0, bytes.size() - 1));  // last line unended

    CollectFileReaderWriter indexer;
    ASSERT_TRUE(indexer.OpenFile(path, ACCESS_READ));
    std::vector<unsigned long> offsets;
    std::string line;
    unsigned long offset = 0;
    while (indexer.readLine(line, offset)) {
        offsets.push_back(offset);
    }
    ASSERT_EQ(offsets.size(), lines.size());

    CollectFileReaderWriter reader;
    ASSERT_TRUE(reader.OpenFile(path, ACCESS_READ));
    for (size_t i = lines.size(); i-- > 0;) {  // backwards, to move across buffered blocks
        ASSERT_TRUE(reader.seek(offsets[i] + 1)) << "line " << i;
        ASSERT_TRUE(reader.readLine(line)) << "line " << i;
        ASSERT_EQ(line, lines[i]) << "line " << i;
        if (i + 1 == lines.size()) {
            // That read reached the end of the file; only a new object reads on.
            ASSERT_FALSE(reader.seek(0UL));
            break;
        }
    }
    CollectFileReaderWriter again;
    ASSERT_TRUE(again.OpenFile(path, ACCESS_READ));
    for (size_t i = lines.size() - 1; i-- > 0;) {
        ASSERT_TRUE(again.seek(offsets[i] + 1)) << "line " << i;
        // After a seek the offsets go on from the new position.
        ASSERT_TRUE(again.readLine(line, offset)) << "line " << i;
        ASSERT_EQ(line, lines[i]) << "line " << i;
        ASSERT_EQ(offset, offsets[i]) << "line " << i;
        if (i + 2 < lines.size()) {  // the last line would end the file for every later seek
            ASSERT_TRUE(again.readLine(line, offset)) << "line " << i + 1;
            ASSERT_EQ(offset, offsets[i + 1]) << "line " << i + 1;
        }
    }
}

}  // namespace
