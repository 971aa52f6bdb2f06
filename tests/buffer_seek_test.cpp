// Seeks around the block of the file that the stream holds: inside it (answered without a
// system call), at its edges, just past it and far outside (read afresh in a small block first),
// from every origin; and reading on across the point where refills grow back to whole blocks.

#include <collect_file/CollectFileReaderWriter.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr unsigned long kBlock = CollectFileReaderWriter::kWriteBufferCapacity - 1;

// 4,000 lines of 100 bytes, each starting with its number: 400,000 bytes.
std::string numberedLines() {
    std::string bytes;
    for (int i = 0; i < 4000; ++i) {
        std::string line = "line " + std::to_string(i) + " ";
        line.resize(99, static_cast<char>('a' + i % 26));
        bytes += line + "\n";
    }
    return bytes;
}

class BufferSeekTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        bytes_ = numberedLines();
        path_ = fileWith(bytes_);
    }

    // What readLine(line, offset) gives at position p of the file.
    void expectLineAt(CollectFileReaderWriter& reader, unsigned long p) {
        const size_t newline = bytes_.find('\n', p);
        std::string line;
        unsigned long offset = 0;
        ASSERT_TRUE(reader.readLine(line, offset));
        EXPECT_EQ(line, bytes_.substr(p, newline - p));
        EXPECT_EQ(offset, p - 1);
    }

    std::string bytes_;
    std::string path_;
};

struct BufferSeekCase {
    const char* name;
    unsigned long offset;
    SeekPosition origin;
    unsigned long target;  // where the next line starts
};

TEST_F(BufferSeekTest, LandsOnTheRightByteInsideAtTheEdgesAndOutside) {
    // After the first line the stream holds [0, kBlock) and the position is 100.
    const unsigned long size = bytes_.size();
    const std::vector<BufferSeekCase> cases = {
        {"back to the first byte held", 0, SEEK_FROM_START, 0},
        {"to a recorded entry inside", 50 * 100, SEEK_FROM_START, 5000},
        {"to the last byte held", kBlock - 1, SEEK_FROM_START, kBlock - 1},
        {"just past the bytes held", kBlock, SEEK_FROM_START, kBlock},
        {"one further", kBlock + 1, SEEK_FROM_START, kBlock + 1},
        {"far outside", 3000 * 100, SEEK_FROM_START, 300000},
        {"forwards inside from here", 1000, SEEK_FROM_CURRENT, 1100},
        {"backwards to the first byte from here", static_cast<unsigned long>(-100),
         SEEK_FROM_CURRENT, 0},
        {"to the last byte held from here", kBlock - 101, SEEK_FROM_CURRENT, kBlock - 1},
        {"past the bytes held from here", kBlock - 100, SEEK_FROM_CURRENT, kBlock},
        {"far from here", 250000, SEEK_FROM_CURRENT, 250100},
        {"backwards from the end into the bytes held", static_cast<unsigned long>(-(size - 200)),
         SEEK_FROM_END, 200},
        {"backwards from the end outside them", static_cast<unsigned long>(-1000), SEEK_FROM_END,
         size - 1000},
    };
    for (const BufferSeekCase& c : cases) {
        SCOPED_TRACE(c.name);
        CollectFileReaderWriter reader;
        ASSERT_TRUE(reader.OpenFile(path_, ACCESS_READ));
        expectLineAt(reader, 0);
        ASSERT_TRUE(reader.seek(c.offset, c.origin));
        expectLineAt(reader, c.target);
        // The position stays right for the lines after it, within and across blocks.
        for (int i = 0; i < 700 && c.target + 100 * (i + 1) < size; ++i) {
            expectLineAt(reader, (c.target / 100 + 1 + i) * 100);
        }
    }
}

TEST_F(BufferSeekTest, ASeekChainStaysOnTrack) {
    // Lookups in the order a client might make them: offsets reported earlier, back and forth.
    CollectFileReaderWriter reader;
    ASSERT_TRUE(reader.OpenFile(path_, ACCESS_READ));
    for (unsigned long target : {300000UL, 300100UL, 5000UL, 299900UL, 364000UL, 364100UL, 360000UL,
                                 0UL, 65500UL, 399900UL}) {
        SCOPED_TRACE(target);
        ASSERT_TRUE(reader.seek(target));
        expectLineAt(reader, target);
        ASSERT_TRUE(reader.seek(200, SEEK_FROM_CURRENT) || target + 300 > bytes_.size());
        if (target + 300 <= bytes_.size()) {
            expectLineAt(reader, target + 300);
        }
    }
}

TEST_F(BufferSeekTest, AfterAFarSeekEveryUseOfTheFileStartsFromTheRightPlace) {
    // A far seek reads one block without moving the descriptor's own offset; whatever comes
    // next must find the file where the bytes held end.
    const unsigned long size = bytes_.size();
    const std::vector<BufferSeekCase> cases = {
        {"a refill: reading on across the block's end", 0, SEEK_FROM_CURRENT, 300100},
        {"a seek from here, outside the block", 20000, SEEK_FROM_CURRENT, 320100},
        {"a seek from the end, then a position report", static_cast<unsigned long>(-1000),
         SEEK_FROM_END, size - 1000},
        {"another far seek", 100000, SEEK_FROM_START, 100000},
    };
    for (const BufferSeekCase& c : cases) {
        SCOPED_TRACE(c.name);
        CollectFileReaderWriter reader;
        ASSERT_TRUE(reader.OpenFile(path_, ACCESS_READ));
        ASSERT_TRUE(reader.seek(300000UL));
        expectLineAt(reader, 300000);
        ASSERT_TRUE(reader.seek(c.offset, c.origin));
        for (unsigned long p = c.target; p < c.target + 6000 && p < size; p += 100) {
            expectLineAt(reader, p);
        }
        EXPECT_TRUE(reader.Close());
    }
}

TEST_F(BufferSeekTest, LongLinesAfterAFarSeekAreReadWhole) {
    // Far from the first block: a line of 2,047 bytes, one of 2,048, then lines that cross the
    // end of the small first refill.
    std::string bytes = numberedLines();
    const unsigned long longest = bytes.size();
    bytes += std::string(2047, 'x') + "\n";
    const unsigned long tooLong = bytes.size();
    bytes += std::string(2048, 'y') + "\n" + numberedLines();
    const std::string path = fileWith(bytes, "long-lines");

    CollectFileReaderWriter reader;
    ASSERT_TRUE(reader.OpenFile(path, ACCESS_READ));
    std::string line;
    ASSERT_TRUE(reader.seek(longest));
    ASSERT_TRUE(reader.readLine(line));
    EXPECT_EQ(line, std::string(2047, 'x'));
    EXPECT_FALSE(reader.readLine(line));
    EXPECT_EQ(line, std::string(2047, 'y'));

    CollectFileReaderWriter skipper;
    ASSERT_TRUE(skipper.OpenFile(path, ACCESS_READ));
    ASSERT_TRUE(skipper.seek(tooLong + 2049));
    for (int i = 0; i < 100; ++i) {  // 10,000 bytes: past the small refill and on
        ASSERT_TRUE(skipper.readLine(line));
        EXPECT_EQ(line.substr(0, 5 + std::to_string(i).size()), "line " + std::to_string(i));
    }
}

}  // namespace
