// Reads arbitrary file contents through a script of reading and positioning calls, and checks
// what every call delivers. The input is the file's bytes, then the script.

#include <collect_file/CollectFileReaderWriter.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"

namespace {

void checkText(const std::string& text) {
    if (text.size() > static_cast<size_t>(CollectFileReaderWriter::kLineReadLimit - 1)) {
        fuzzFailure("a delivered text is longer than 2,047 bytes");
    }
    if (text.find('\0') != std::string::npos) {
        fuzzFailure("a delivered text holds a NUL byte");
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string fileBytes = input.ConsumeRandomLengthString(size);
    writeScratch(fileBytes);

    CollectFileReaderWriter reader;
    if (input.ConsumeIntegralInRange(0, 7) != 0 && !reader.OpenFile(scratchPath(), ACCESS_READ)) {
        fuzzFailure("cannot open the scratch file");
    }
    // Exactly eight bytes on the heap, so that a ninth byte written is an overflow.
    std::unique_ptr<char[]> shortLine(new char[CollectFileReaderWriter::kShortLineReadLimit]);
    std::string line;
    unsigned long offset = 0;
    bool ok = false;

    while (input.remaining_bytes() > 0) {
        switch (input.ConsumeIntegralInRange(0, 9)) {
            case 0:
                reader.readLine(line);
                checkText(line);
                break;
            case 1:
                if (reader.readLine(line, offset)) {
                    checkText(line);
                    // A line read successfully lies inside the file.
                    if (offset + 1 + line.size() > fileBytes.size()) {
                        fuzzFailure("a line's offset points past the end of the file");
                    }
                }
                checkText(line);
                break;
            case 2:
                checkText(reader.readLine(ok));
                break;
            case 3:
                reader.readLine(shortLine.get());
                if (std::memchr(shortLine.get(), '\0',
                                CollectFileReaderWriter::kShortLineReadLimit) == nullptr) {
                    fuzzFailure("the short form left its buffer without a NUL");
                }
                break;
            case 4: {
                const unsigned long where = consumeOffset(input, fileBytes.size());
                reader.seek(where, static_cast<SeekPosition>(input.ConsumeIntegral<int32_t>()));
                break;
            }
            case 5:
                reader.seek(consumeOffset(input, fileBytes.size()));
                break;
            case 6:
                reader.seek(input.ConsumeBool() ? "name" : nullptr);
                break;
            case 7:
                reader.setNewLineDelimiter(input.ConsumeIntegral<char>());
                break;
            case 8:
                reader.ReadDataFromFile();
                break;
            default:
                reader.Close();
                break;
        }
    }
    return 0;
}
