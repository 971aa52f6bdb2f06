// Reads generated files of 3 to 400 KB, long enough for many refills, through a random script of
// every reading and positioning call, and compares each result with the plain reference reader
// that the read fuzzer uses. The seeks go back to recorded entries, land inside and outside the
// stream's buffer, near its edges and past the end, from every origin.

#include <collect_file/CollectFileReaderWriter.h>
#include <collect_file/collect_file.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "reference_reader.h"
#include "test_support.h"

namespace {

class DifferentialTest : public TempDirTest {};

// Lines of 0 to 160 bytes, with now and then a line of 1,900 to 2,200 bytes (some too long to
// deliver), a NUL, a semicolon or a last line without a newline.
std::string generateFile(std::mt19937_64& random, size_t size) {
    std::string bytes;
    std::uniform_int_distribution<int> percent(0, 99);
    while (bytes.size() < size) {
        const size_t length = random() % 400 == 0 ? 1900 + random() % 300 : random() % 160;
        for (size_t i = 0; i < length; ++i) {
            const int kind = percent(random);
            bytes += kind == 0 ? '\0' : kind == 1 ? ';' : static_cast<char>('a' + random() % 26);
        }
        bytes += '\n';
    }
    if (percent(random) < 30) {
        bytes += "last line without a newline";
    }
    return bytes;
}

TEST_F(DifferentialTest, EveryCallAgreesWithTheReferenceReader) {
    std::mt19937_64 random(2026);
    const size_t sizes[] = {3000, 70000, 140000, 400000};
    int calls = 0;
    for (int file = 0; file < 24; ++file) {
        const std::string bytes = generateFile(random, sizes[file % 4]);
        const std::string path = fileWith(bytes);
        std::unique_ptr<CollectFileReaderWriter> reader;
        std::unique_ptr<ReferenceReader> reference;
        std::vector<unsigned long> recorded;  // offsets that readLine(line, offset) reported
        std::string line, expectedLine;
        unsigned long offset = 0, expectedOffset = 0;
        for (int step = 0; step < 1500; ++step, ++calls) {
            SCOPED_TRACE(::testing::Message() << "file " << file << ", step " << step);
            if (reference == nullptr || !reference->healthy()) {
                // Once failed or at the end, a stream stays so: read the file again afresh.
                reader.reset(new CollectFileReaderWriter);
                reference.reset(new ReferenceReader);
                ASSERT_TRUE(reader->OpenFile(path, ACCESS_READ));
                ASSERT_TRUE(reference->open(path));
            }
            const int action = static_cast<int>(random() % 100);
            if (action < 30) {
                ASSERT_EQ(reader->readLine(line, offset),
                          reference->readLine(expectedLine, expectedOffset));
                ASSERT_EQ(line, expectedLine);
                ASSERT_EQ(offset, expectedOffset);
                recorded.push_back(offset);
            } else if (action < 45) {
                ASSERT_EQ(reader->readLine(line), reference->readLine(expectedLine));
                ASSERT_EQ(line, expectedLine);
            } else if (action < 50) {
                bool ok = false, expectedOk = false;
                ASSERT_EQ(reader->readLine(ok), reference->readLine(expectedOk));
                ASSERT_EQ(ok, expectedOk);
            } else if (action < 54) {
                char shortLine[8], expectedShortLine[8];
                ASSERT_EQ(reader->readLine(shortLine), reference->readLine(expectedShortLine));
                ASSERT_STREQ(shortLine, expectedShortLine);
            } else if (action < 96) {
                // A recorded entry, a place in or past the file, or a step from here.
                unsigned long where;
                const int kind = static_cast<int>(random() % 5);
                if (kind == 0 && !recorded.empty()) {
                    where = recorded[random() % recorded.size()] + 1;
                } else if (kind <= 1) {
                    where = random() % (bytes.size() + 3);
                } else if (kind == 2) {
                    where =
                        static_cast<unsigned long>(static_cast<long>(random() % 140000) - 70000);
                } else if (kind == 3) {
                    where = static_cast<unsigned long>(static_cast<long>(random() % 600) - 300);
                } else {
                    // Near the largest position, where a whole block read fails.
                    where = 0x7fffffffffffffffUL - random() % 100000;
                }
                // Mostly from the start, as a client going back to an entry does.
                const int32_t origin = static_cast<int32_t>(random() % 6 < 3 ? 1 : random() % 4);
                ASSERT_EQ(reader->seek(where, static_cast<SeekPosition>(origin)),
                          reference->seek(where, origin))
                    << "seek " << static_cast<long>(where) << " from " << origin;
            } else if (action < 97) {
                const char delimiter = random() % 2 == 0 ? ';' : '\n';
                reader->setNewLineDelimiter(delimiter);
                reference->setDelimiter(delimiter);
            } else if (action < 99) {
                ASSERT_EQ(reader->ReadDataFromFile(), reference->readDataFromFile());
            } else {
                reader->Close();
                reference->close();
            }
        }
    }
    EXPECT_GT(calls, 10000);
}

// collect_file::Reader delivers what the class delivers, line for line, and its offsets are the
// lines' first bytes; where the class delivers a line holding a NUL, the Reader stops at it with
// the same text and skips it; where the class stops at a long line, the Reader skips it and a
// fresh class object goes on from there; a last line without '\n' is a stop of the Reader.
TEST_F(DifferentialTest, ReaderAgreesWithTheClass) {
    using collect_file::errc;
    std::mt19937_64 random(1202);
    const size_t sizes[] = {3000, 70000, 140000, 400000};
    for (int file = 0; file < 12; ++file) {
        SCOPED_TRACE(::testing::Message() << "file " << file);
        const std::string bytes = generateFile(random, sizes[file % 4]);
        collect_file::Reader reader;
        ASSERT_FALSE(reader.open(fileWith(bytes)));
        collect_file::Line line;
        uint64_t start = 0;  // where the class reads next
        for (int run = 0;; ++run) {
            CollectFileReaderWriter core;
            ASSERT_TRUE(core.OpenFile(pathOf("input"), ACCESS_READ));
            ASSERT_TRUE(start == 0 || core.seek(start));
            std::string text;
            unsigned long offset = 0;
            size_t end;
            while ((end = bytes.find('\n', start)) != std::string::npos &&
                   core.readLine(text, offset)) {
                const bool whole = bytes.find('\0', start) >= end;
                ASSERT_EQ(reader.next(line), whole) << "at " << start;
                ASSERT_EQ(reader.error(), whole ? std::error_code() : errc::nul_in_line);
                ASSERT_EQ(line.text, text);
                ASSERT_EQ(line.offset, start);
                ASSERT_TRUE(whole || !reader.skip());
                start = offset + text.size() + 2;  // after the delimiter, by the class's count
                ASSERT_EQ(start, end + 1);
            }
            if (end == std::string::npos && start < bytes.size() &&
                bytes.size() - start <= collect_file::max_line_size) {
                ASSERT_FALSE(reader.next(line));
                ASSERT_EQ(reader.error(), errc::unterminated_line);
                ASSERT_EQ(line.offset, start);
                ASSERT_FALSE(reader.skip());
                start = bytes.size();
            }
            ASSERT_FALSE(reader.next(line));
            ASSERT_EQ(reader.position(), std::min<uint64_t>(start, bytes.size()));
            if (start >= bytes.size()) {
                ASSERT_FALSE(reader.error()) << reader.error().message();
                break;
            }
            ASSERT_EQ(reader.error(), errc::line_too_long);
            ASSERT_FALSE(reader.skip());
            end = bytes.find('\n', start);
            start = end == std::string::npos ? bytes.size() : end + 1;
            ASSERT_EQ(reader.position(), start);
        }
    }
}

}  // namespace
