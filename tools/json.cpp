#include "json.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include "json_vectors.h"
#include "text.h"

namespace collect_file_tool {

namespace {

const char kReplacement[] = "\xef\xbf\xbd";  // U+FFFD

// The most bytes escapeInto() writes for one byte of text (\u00XX), and the room it may write
// past them.
const std::size_t kEscapedPerByte = 6;
const std::size_t kEscapeSlack = 32;

// The ASCII bytes that a JSON string holds as they are: printable, but for `"` and `\`.
constexpr std::array<bool, 256> kKeptAscii = [] {
    std::array<bool, 256> kept{};
    for (int c = 0x20; c < 0x7f; ++c) {
        kept[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    }
    return kept;
}();

// The widest vectors this processor has, by what escaping may use.
Escaping widestEscaping() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("avx2")) {
        return Escaping::widest;
    }
    if (__builtin_cpu_supports("avx2")) {
        return Escaping::avx2;
    }
#endif
    return Escaping::byteByByte;
}
const Escaping kWidest = widestEscaping();

// Copies the bytes at s[i] (of `n`) to `to`, advancing both, up to the first byte that needs
// more than a copy (a control, DEL, a byte of 0x80 or more) or the end. `"` and `\` are escaped
// on the way. `to` needs kEscapeSlack bytes of room beyond what it is given, and the 31 bytes
// before it must be what was written for s[..i) when i is 31 or more: vectors store whole blocks
// (see json_vectors.h).
inline void copyPlain(const unsigned char* s, std::size_t n, std::size_t& i, char*& to,
                      Escaping escaping) {
    const Escaping widest = std::max(escaping, kWidest);  // the narrower of the two
    if (widest == Escaping::widest) {
        copyPlainAvx512(s, n, i, to);
    } else if (widest == Escaping::avx2) {
        copyPlainAvx2(s, n, i, to);
    }
    for (; i < n; ++i) {
        if (kKeptAscii[s[i]]) {
            *to++ = static_cast<char>(s[i]);
        } else if (s[i] == '"' || s[i] == '\\') {
            *to++ = '\\';
            *to++ = static_cast<char>(s[i]);
        } else {
            return;
        }
    }
}

// escapeInto() from s[i] on, where the first byte that needs more than a copy is.
char* escapeFrom(std::string_view text, std::size_t i, char* to, bool& wellFormed,
                 Escaping escaping) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    while (i < n) {
        copyPlain(s, n, i, to, escaping);
        if (i == n) {
            break;
        }
        std::size_t length = 1;
        if (s[i] >= 0x80) {
            length = utf8Length(text.substr(i));
            const bool c1 = length == 2 && s[i] == 0xc2 && s[i + 1] < 0xa0;
            if (length > 0 && !c1 && !isBidiControl(s + i, length)) {
                std::memcpy(to, s + i, length);
                to += length;
                i += length;
                continue;
            }
        }
        if (length == 0) {
            std::memcpy(to, kReplacement, 3);
            to += 3;
            wellFormed = false;
            length = 1;
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
            std::memcpy(to, escaped, 6);
            to += 6;
        }
        i += length;
    }
    return to;
}

// Escapes `text` into `to`, which has room for kEscapedPerByte bytes per byte of text and
// kEscapeSlack more, the quotes not included; the end of what it wrote. Runs of bytes kept as they
// are go in one piece. `wellFormed` becomes false when a byte was replaced.
inline char* escapeInto(std::string_view text, char* to, bool& wellFormed,
                        Escaping escaping = Escaping::widest) {
    std::size_t i = 0;
    copyPlain(reinterpret_cast<const unsigned char*>(text.data()), text.size(), i, to, escaping);
    return i == text.size() ? to : escapeFrom(text, i, to, wellFormed, escaping);
}

// The eight decimal digits of value (below 10^8), the first in the lowest byte, with leading
// zeros: two halves of four digits, each split into pairs and the pairs into digits, all at once.
inline std::uint64_t eightDigits(std::uint32_t value) {
    const std::uint64_t halves = value / 10000 + (std::uint64_t{value % 10000} << 32);
    const std::uint64_t hundreds = (halves * 10486 >> 20) & 0x0000007f0000007f;  // x / 100
    const std::uint64_t pairs = hundreds + ((halves - hundreds * 100) << 16);
    const std::uint64_t tens = (pairs * 103 >> 10) & 0x000f000f000f000f;  // x / 10
    return tens + ((pairs - tens * 10) << 8) + 0x3030303030303030;
}

// How many decimal digits value has: from how many bits it has, and one compare.
inline unsigned decimalLength(std::uint64_t value) {
    // 10^k for k from 1 to 19, and 0 for k = 0, so that 0 has a digit too.
    static constexpr std::array<std::uint64_t, 20> kTens = [] {
        std::array<std::uint64_t, 20> tens{};
        std::uint64_t power = 1;
        for (std::size_t k = 1; k < tens.size(); ++k) {
            power *= 10;
            tens[k] = power;
        }
        return tens;
    }();
    const auto bits = static_cast<unsigned>(64 - __builtin_clzll(value | 1));
    const unsigned atLeast = bits * 1233 >> 12;  // bits * log10(2), rounded down
    return atLeast + (value >= kTens[atLeast] ? 1 : 0);
}

// Writes value in decimal at `to`, which has room for 20 bytes past it; the end of the number.
// Below 10^16, which every offset is, its length is known before its digits, so that what is
// written after it need not wait for them.
inline char* writeDecimal(char* to, std::uint64_t value) {
    const std::uint64_t kEight = 100000000;
    // eightDigits() puts the first digit in the lowest byte, first in memory where little-endian.
    constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    if (value >= kEight * kEight || !kLittleEndian) {
        return std::to_chars(to, to + 20, value).ptr;
    }
    const unsigned length = decimalLength(value);
    if (value < kEight) {
        const std::uint64_t digits =
            eightDigits(static_cast<std::uint32_t>(value)) >> (8 * (8 - length));
        std::memcpy(to, &digits, 8);
    } else {
        const std::uint64_t high =
            eightDigits(static_cast<std::uint32_t>(value / kEight)) >> (8 * (16 - length));
        const std::uint64_t low = eightDigits(static_cast<std::uint32_t>(value % kEight));
        std::memcpy(to, &high, 8);
        std::memcpy(to + length - 8, &low, 8);
    }
    return to + length;
}

}  // namespace

std::string jsonString(std::string_view text, Escaping escaping) {
    std::string result(text.size() * kEscapedPerByte + kEscapeSlack + 2, '"');
    bool wellFormed = true;
    char* end = escapeInto(text, &result[1], wellFormed, escaping);
    *end++ = '"';
    result.resize(static_cast<std::size_t>(end - result.data()));
    return result;
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
    // The whole element in one piece of the output's buffer: most of what show --json and
    // entries --json write.
    static constexpr char kStart[] = ", {\"offset\": ";
    static constexpr char kText[] = ", \"text\": \"";
    char* to = out_.reserve(line.text.size() * kEscapedPerByte + kEscapeSlack + 64);
    if (firstElement_) {
        std::memcpy(to, kStart + 2, sizeof kStart - 3);
        to += sizeof kStart - 3;
        firstElement_ = false;
    } else {
        std::memcpy(to, kStart, sizeof kStart - 1);
        to += sizeof kStart - 1;
    }
    to = writeDecimal(to, line.offset);
    std::memcpy(to, kText, sizeof kText - 1);
    to += sizeof kText - 1;
    bool wellFormed = true;
    to = escapeInto(line.text, to, wellFormed);
    *to++ = '"';
    if (wellFormed) {
        *to++ = '}';
        out_.commit(to);
        return;
    }
    out_.commit(to);
    out_.put(", \"base64\": \"" + base64(line.text) + "\"}");
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

void JsonDocument::string(std::string_view text) {
    const std::size_t room = text.size() * kEscapedPerByte + kEscapeSlack + 2;
    if (room > Output::kPiece) {
        out_.put(jsonString(text));
        return;
    }
    char* to = out_.reserve(room);
    *to++ = '"';
    bool wellFormed = true;
    to = escapeInto(text, to, wellFormed);
    *to++ = '"';
    out_.commit(to);
}

void JsonDocument::number(std::uint64_t value) {
    char digits[20];
    const char* end = writeDecimal(digits, value);
    out_.put(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

}  // namespace collect_file_tool
