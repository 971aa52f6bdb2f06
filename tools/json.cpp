#include "json.h"

#include <array>
#include <charconv>

#include "text.h"

namespace collect_file_tool {

namespace {

// The ASCII bytes that a JSON string holds as they are: printable, but for `"` and `\`.
constexpr std::array<bool, 256> kKeptAscii = [] {
    std::array<bool, 256> kept{};
    for (int c = 0x20; c < 0x7f; ++c) {
        kept[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    }
    return kept;
}();

const char kReplacement[] = "\xef\xbf\xbd";  // U+FFFD

// Escapes `text` into `put` (called with each piece, a string_view), the quotes not included:
// each run of bytes kept as they are goes out in one piece. Whether every byte was kept or
// escaped, none replaced.
template <typename Put>
bool escape(std::string_view text, Put&& put) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    bool wellFormed = true;
    std::size_t run = 0;  // the first byte not yet put
    for (std::size_t i = 0; i < n;) {
        if (kKeptAscii[s[i]]) {
            ++i;
            continue;
        }
        std::size_t length = 1;
        if (s[i] >= 0x80) {
            length = utf8Length(text.substr(i));
            const bool c1 = length == 2 && s[i] == 0xc2 && s[i + 1] < 0xa0;
            if (length > 0 && !c1 && !isBidiControl(s + i, length)) {
                i += length;
                continue;
            }
        }
        put(text.substr(run, i - run));
        if (length == 0) {
            put(std::string_view(kReplacement, 3));
            wellFormed = false;
            length = 1;
        } else if (s[i] == '"' || s[i] == '\\') {
            const char escaped[2] = {'\\', static_cast<char>(s[i])};
            put(std::string_view(escaped, 2));
        } else {
            // A control character: its code point from its one, two or three bytes.
            const unsigned code = length == 1 ? s[i]
                                  : length == 2
                                      ? s[i + 1]
                                      : 0x2000u + ((s[i + 1] & 0x3fu) << 6) + (s[i + 2] & 0x3fu);
            const char kHex[] = "0123456789abcdef";
            const char escaped[6] = {'\\',
                                     'u',
                                     kHex[code >> 12],
                                     kHex[(code >> 8) & 15],
                                     kHex[(code >> 4) & 15],
                                     kHex[code & 15]};
            put(std::string_view(escaped, 6));
        }
        i += length;
        run = i;
    }
    put(text.substr(run));
    return wellFormed;
}

}  // namespace

std::string jsonString(std::string_view text) {
    std::string result = "\"";
    result.reserve(text.size() + 2);
    escape(text, [&](std::string_view piece) { result.append(piece); });
    return result + "\"";
}

std::string base64(std::string_view bytes) {
    const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string result;
    result.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]))
                              << 16;
        if (left > 1) {
            group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        }
        if (left > 2) {
            group |= static_cast<unsigned char>(bytes[i + 2]);
        }
        result += kDigits[group >> 18];
        result += kDigits[(group >> 12) & 63];
        result += left > 1 ? kDigits[(group >> 6) & 63] : '=';
        result += left > 2 ? kDigits[group & 63] : '=';
    }
    return result;
}

JsonDocument::JsonDocument(Output& out) : out_(out) {
    out_.put("{\"files\": [");
}

void JsonDocument::beginFile(std::string_view name) {
    out_.put(firstFile_ ? "{\"file\": " : ", {\"file\": ");
    firstFile_ = false;
    string(name);
}

void JsonDocument::beginArray(const char* key) {
    out_.put(", \"");
    out_.put(key);
    out_.put("\": [");
    firstElement_ = true;
}

void JsonDocument::element() {
    if (!firstElement_) {
        out_.put(", ");
    }
    firstElement_ = false;
}

void JsonDocument::line(const Line& line) {
    element();
    out_.put("{\"offset\": ");
    number(line.offset);
    out_.put(", \"text\": ");
    if (!string(line.text)) {
        out_.put(", \"base64\": \"" + base64(line.text) + "\"");
    }
    out_.put('}');
}

void JsonDocument::section(std::string_view marker, std::uint64_t offset, std::uint64_t entries) {
    element();
    out_.put("{\"marker\": ");
    string(marker);
    out_.put(", \"offset\": ");
    number(offset);
    out_.put(", \"entries\": ");
    number(entries);
    out_.put('}');
}

void JsonDocument::problem(const Problem& problem, std::string_view name) {
    element();
    out_.put("{\"offset\": ");
    number(problem.offset);
    out_.put(", \"kind\": \"");
    out_.put(problemKindName(problem.kind));
    out_.put("\", \"message\": ");
    string(problemMessage(problem, name));
    out_.put('}');
}

void JsonDocument::endArray() {
    out_.put(']');
}

void JsonDocument::problems(const std::vector<Problem>& problems, std::string_view name) {
    beginArray("problems");
    for (const Problem& kept : problems) {
        problem(kept, name);
    }
    endArray();
}

void JsonDocument::count(const char* key, std::uint64_t value) {
    out_.put(", \"");
    out_.put(key);
    out_.put("\": ");
    number(value);
}

void JsonDocument::error(bool opened, const InputFile& input) {
    out_.put(", \"error\": ");
    if (opened && input.stop() != Stop::read_error) {
        out_.put("null");
        return;
    }
    out_.put("{\"offset\": ");
    if (opened) {
        number(input.stopOffset());
    } else {
        out_.put("null");
    }
    out_.put(", \"message\": ");
    string(input.error());
    out_.put('}');
}

void JsonDocument::endFile() {
    out_.put('}');
}

void JsonDocument::finish() {
    out_.put("]}\n");
}

bool JsonDocument::string(std::string_view text) {
    out_.put('"');
    const bool wellFormed = escape(text, [this](std::string_view piece) { out_.put(piece); });
    out_.put('"');
    return wellFormed;
}

void JsonDocument::number(std::uint64_t value) {
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out_.put(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

}  // namespace collect_file_tool
