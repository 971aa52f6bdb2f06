// Writes a script of texts and flushes, and compares the file after every call with what an
// independent model of the newline rule and of the buffer's flushes predicts; a quarter of the
// inputs go to the safe Writer instead. The class's writer reads with a delimiter the input
// chooses, which texts often end with: writing ignores it.

#include <collect_file/CollectFileReaderWriter.h>
#include <collect_file/collect_file.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>

#include "fuzz_support.h"

namespace {

constexpr size_t kCapacity = 65536;
// Bounds the bytes one input writes, so that a run stays fast.
constexpr size_t kMaxBytesPerInput = 3 * kCapacity;

// What the file and the buffer hold after each call, by the library's documented rules.
struct Model {
    std::string file;
    std::string buffered;

    static void endLine(std::string& content) {
        if (content.empty() || content.back() != '\n') {
            content += '\n';
        }
    }
    void writeLine(const std::string& text) {
        if (buffered.size() + text.size() <= kCapacity) {
            buffered += text;
            endLine(buffered);
            return;
        }
        flush();
        if (text.size() <= kCapacity) {
            buffered = text;
            endLine(buffered);
        } else {
            file += text;
            if (text.back() != '\n') {
                file += '\n';
            }
        }
    }
    void flush() {
        file += buffered;
        buffered.clear();
    }
};

// A text for writeLine; bufferedBytes lets it aim at the edges of the room left in the buffer.
// It may end with the reader's delimiter.
std::string consumeText(FuzzedDataProvider& input, size_t bufferedBytes, char delimiter) {
    size_t length = 0;
    switch (input.ConsumeIntegralInRange(0, 4)) {
        case 0:
            length = input.ConsumeIntegralInRange<size_t>(0, 16);
            break;
        case 1:
            length = input.ConsumeIntegralInRange<size_t>(0, 2100);
            break;
        case 2:
            length = input.ConsumeIntegralInRange<size_t>(kCapacity - 700, kCapacity + 700);
            break;
        case 3:
            length = input.ConsumeIntegralInRange<size_t>(kCapacity + 1, kCapacity + 4096);
            break;
        default: {
            const size_t room = kCapacity - std::min(bufferedBytes, kCapacity);
            length = room + input.ConsumeIntegralInRange<size_t>(0, 4);
            length = length >= 2 ? length - 2 : 0;
            break;
        }
    }
    std::string pattern = input.ConsumeRandomLengthString(8);
    if (pattern.empty()) {
        pattern = "p";
    }
    std::string text;
    text.reserve(length);
    while (text.size() < length) {
        text += pattern;
    }
    text.resize(length);
    for (char& c : text) {
        if (c == '\0') {
            c = 'x';  // a NUL would end the text early
        }
    }
    if (length > 0 && input.ConsumeBool()) {
        text.back() = input.ConsumeBool() ? '\n' : delimiter;
    }
    if (length > 0 && input.ConsumeBool()) {
        text[input.ConsumeIntegralInRange<size_t>(0, length - 1)] = '\n';
    }
    return text;
}

// The safe Writer: any bytes as a line, with flushes between. A line is refused, with the
// reason its first offending byte gives, or it reaches the file whole with one '\n'.
void fuzzWriter(FuzzedDataProvider& input) {
    collect_file::Writer writer;
    if (writer.create(scratchPath())) {
        fuzzFailure("create failed");
    }
    std::string expected;
    while (input.remaining_bytes() > 0 && expected.size() < kMaxBytesPerInput) {
        if (input.ConsumeIntegralInRange(0, 15) == 0) {
            if (writer.flush()) {
                fuzzFailure("a flush failed");
            }
            continue;
        }
        const std::string line = input.ConsumeRandomLengthString(2100);
        const size_t body = line.size() - (!line.empty() && line.back() == '\n');
        const size_t hit = line.find_first_of(std::string("\n\0", 2));
        std::error_code refusal;
        if (body > collect_file::max_line_size) {
            refusal = collect_file::errc::line_too_long;
        } else if (hit < body) {
            refusal = line[hit] == '\n' ? collect_file::errc::newline_in_line
                                        : collect_file::errc::nul_in_line;
        }
        if (writer.write(line) != refusal) {
            fuzzFailure("a line was refused for another reason, or taken, or refused wrongly");
        }
        if (!refusal) {
            expected.append(line, 0, body).push_back('\n');
        }
    }
    if (writer.commit() || readScratch() != expected) {
        fuzzFailure("the Writer's file differs from the lines it took");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    if (input.ConsumeIntegralInRange(0, 3) == 0) {
        fuzzWriter(input);
        return 0;
    }
    const bool append = input.ConsumeBool();
    const std::string existing = append ? input.ConsumeRandomLengthString(64) : "existing\n";
    writeScratch(existing);

    // Any byte but NUL, which no text can hold; '\n' from an empty input.
    const char delimiter = input.ConsumeIntegral<char>();

    Model model;
    if (append) {
        model.file = existing;
    }
    {
        CollectFileReaderWriter writer;
        writer.setNewLineDelimiter(delimiter != '\0' ? delimiter : '\n');
        if (!writer.OpenFile(scratchPath(), append ? ACCESS_APPEND : ACCESS_WRITE)) {
            fuzzFailure("cannot open the scratch file");
        }
        size_t written = 0;
        while (input.remaining_bytes() > 0 && written < kMaxBytesPerInput) {
            switch (input.ConsumeIntegralInRange(0, 5)) {
                case 0:
                    if (!writer.WriteDataToFile()) {
                        fuzzFailure("a flush failed");
                    }
                    model.flush();
                    break;
                case 1:
                    if (writer.writeLine(nullptr)) {
                        fuzzFailure("a null text was accepted");
                    }
                    break;
                default: {
                    const std::string text =
                        consumeText(input, model.buffered.size(), writer.getNewLineDelimiter());
                    written += text.size();
                    if (!writer.writeLine(text.c_str())) {
                        fuzzFailure("a text was refused");
                    }
                    model.writeLine(text);
                    break;
                }
            }
            if (CollectFileReaderWriter::getFileSize(scratchPath()) != model.file.size()) {
                fuzzFailure("the file's size differs from the model's after a call");
            }
        }
        if (input.ConsumeBool()) {
            if (!writer.Close()) {
                fuzzFailure("Close failed");
            }
        }  // otherwise the destructor closes the file
    }
    model.flush();
    if (readScratch() != model.file) {
        fuzzFailure("the file's bytes differ from the model's");
    }
    return 0;
}
