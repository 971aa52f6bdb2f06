// Reads arbitrary file contents through a script of reading and positioning calls, checks what
// every call delivers, and compares every result with a plain reference reader built on the
// standard stream's own bounded getline. The input is the file's bytes (repeated to a large file
// for some inputs), then the script.

#include <collect_file/CollectFileReaderWriter.h>
#include <collect_file/collect_file.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "reference_reader.h"

namespace {

void checkText(const std::string& text) {
    if (text.size() > static_cast<size_t>(CollectFileReaderWriter::kLineReadLimit - 1)) {
        fuzzFailure("a delivered text is longer than 2,047 bytes");
    }
    if (text.find('\0') != std::string::npos) {
        fuzzFailure("a delivered text holds a NUL byte");
    }
}

// Fails the run when the library and the reference disagree.
void expect(bool agreed, const char* what) {
    if (!agreed) {
        fuzzFailure(what);
    }
}

unsigned long consumeOffset(FuzzedDataProvider& input, size_t fileSize) {
    switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0:
        case 1:
            return input.ConsumeIntegralInRange<unsigned long>(0, fileSize + 2);
        case 2:
            return static_cast<unsigned long>(-input.ConsumeIntegralInRange<long>(0, 4));
        default:
            return input.ConsumeIntegral<unsigned long>();
    }
}

// collect_file::Reader over the scratch file, skipping every line that is not whole, against the
// file's bytes split at '\n': each line of up to 2,047 bytes with its '\n' and no NUL delivered
// at its first byte; each longer one a line_too_long stop, a last line without '\n' an
// unterminated_line stop, a line holding a NUL a nul_in_line stop, in that order, at its first
// byte with its bytes up to the first NUL (at most 2,047); a clean end at the file's size.
void checkReader(const std::string& bytes) {
    using collect_file::errc;
    collect_file::Reader reader;
    if (reader.open(scratchPath())) {
        fuzzFailure("the Reader cannot open the scratch file");
    }
    collect_file::Line line;
    const size_t limit = collect_file::max_line_size;
    for (size_t start = 0; start < bytes.size();) {
        const size_t newline = bytes.find('\n', start);
        const size_t end = newline == std::string::npos ? bytes.size() : newline;
        // Views, not copies: a large input holds tens of thousands of lines.
        const std::string_view whole = std::string_view(bytes).substr(start, end - start);
        const std::string_view text = whole.substr(0, std::min(whole.find('\0'), limit));
        const std::error_code expected = whole.size() > limit           ? errc::line_too_long
                                         : newline == std::string::npos ? errc::unterminated_line
                                         : text.size() < whole.size()   ? errc::nul_in_line
                                                                        : std::error_code();
        expect(reader.next(line) == !expected, "Reader::next delivers whole lines only");
        expect(reader.error() == expected, "why Reader::next stopped");
        expect(line.offset == start, "Line::offset is the line's first byte");
        expect(line.text == text, "the text of Reader::next");
        if (expected) {
            expect(reader.position() == start, "the position of a line not whole");
            expect(!reader.skip(), "Reader::skip");
        }
        start = end + 1;
    }
    expect(!reader.next(line) && !reader.error(), "a clean end");
    expect(reader.position() == bytes.size(), "the position at the end");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    std::string fileBytes = input.ConsumeRandomLengthString(size);
    // One input in eight repeats its bytes to a file of 70 to 140 KB, so that reads take several
    // refills and seeks land both inside and outside the block the stream holds.
    if (!fileBytes.empty() && input.ConsumeIntegralInRange(0, 7) == 0) {
        const size_t target = input.ConsumeIntegralInRange<size_t>(70000, 140000);
        const std::string unit = fileBytes;
        while (fileBytes.size() < target) {
            fileBytes += unit;
        }
    }
    writeScratch(fileBytes);
    checkReader(fileBytes);

    CollectFileReaderWriter reader;
    ReferenceReader reference;
    if (input.ConsumeIntegralInRange(0, 7) != 0) {
        if (!reader.OpenFile(scratchPath(), ACCESS_READ) || !reference.open(scratchPath())) {
            fuzzFailure("cannot open the scratch file");
        }
    }
    // Exactly eight bytes on the heap, so that a ninth byte written is an overflow.
    const size_t shortSize = CollectFileReaderWriter::kShortLineReadLimit;
    std::unique_ptr<char[]> shortLine(new char[shortSize]);
    char expectedShortLine[8];
    std::string line, expectedLine;
    unsigned long offset = 0, expectedOffset = 0;
    bool ok = false, expectedOk = false;

    while (input.remaining_bytes() > 0) {
        switch (input.ConsumeIntegralInRange(0, 9)) {
            case 0:
                expect(reader.readLine(line) == reference.readLine(expectedLine), "readLine(line)");
                expect(line == expectedLine, "the text of readLine(line)");
                checkText(line);
                break;
            case 1: {
                const bool result = reader.readLine(line, offset);
                expect(result == reference.readLine(expectedLine, expectedOffset),
                       "readLine(line, offset)");
                expect(line == expectedLine, "the text of readLine(line, offset)");
                expect(offset == expectedOffset, "the offset of readLine(line, offset)");
                checkText(line);
                // A line read successfully lies inside the file.
                if (result && offset + 1 + line.size() > fileBytes.size()) {
                    fuzzFailure("a line's offset points past the end of the file");
                }
                break;
            }
            case 2: {
                const std::string text = reader.readLine(ok);
                expect(text == reference.readLine(expectedOk), "the text of readLine(ok)");
                expect(ok == expectedOk, "the outcome of readLine(ok)");
                checkText(text);
                break;
            }
            case 3:
                expect(reader.readLine(shortLine.get()) == reference.readLine(expectedShortLine),
                       "readLine(char*)");
                if (std::memchr(shortLine.get(), '\0', shortSize) == nullptr) {
                    fuzzFailure("the short form left its buffer without a NUL");
                }
                expect(std::strcmp(shortLine.get(), expectedShortLine) == 0,
                       "the text of readLine(char*)");
                break;
            case 4: {
                const unsigned long where = consumeOffset(input, fileBytes.size());
                const int32_t origin = input.ConsumeIntegral<int32_t>();
                expect(reader.seek(where, static_cast<SeekPosition>(origin)) ==
                           reference.seek(where, origin),
                       "seek(offset, origin)");
                break;
            }
            case 5: {
                const unsigned long where = consumeOffset(input, fileBytes.size());
                expect(reader.seek(where) == reference.seek(where, 1), "seek(offset)");
                break;
            }
            case 6:
                expect(reader.seek(input.ConsumeBool() ? "name" : nullptr) == reference.healthy(),
                       "seek(name)");
                break;
            case 7: {
                const char delimiter = input.ConsumeIntegral<char>();
                reader.setNewLineDelimiter(delimiter);
                reference.setDelimiter(delimiter);
                break;
            }
            case 8:
                expect(reader.ReadDataFromFile() == reference.readDataFromFile(),
                       "ReadDataFromFile");
                break;
            default:
                reader.Close();
                reference.close();
                break;
        }
    }
    return 0;
}
