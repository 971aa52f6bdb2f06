// Feeds arbitrary bytes to the tool's terminal escaping and JSON strings. Every output must be
// valid UTF-8 with no control character left raw; every JSON string must parse, and give back
// the input when the input was valid UTF-8, and its base64 give it back always, as a line of
// show --json comes back; an escaped text must give back its input byte for byte. A second JSON
// parser, independent of the tool, judges UTF-8 and JSON.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz_support.h"
#include "json.h"
#include "text.h"

namespace {

// Whether text is well-formed UTF-8, as the independent parser sees it.
bool validUtf8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

// Whether text holds a C0 control, DEL or a C1 control (U+0080 to U+009F) as it is.
bool holdsRawControl(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 =
            c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xa0;
        if (c < 0x20 || c == 0x7f || c1) {
            return true;
        }
    }
    return false;
}

int hexDigit(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Undoes the terminal escaping: \\ and \xHH back to their bytes; false on any other backslash.
bool unescape(const std::string& text, std::string& bytes) {
    bytes.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '\\') {
            bytes += '\\';
            ++i;
        } else if (i + 3 < text.size() && text[i + 1] == 'x' && hexDigit(text[i + 2]) >= 0 &&
                   hexDigit(text[i + 3]) >= 0) {
            bytes += static_cast<char>(hexDigit(text[i + 2]) * 16 + hexDigit(text[i + 3]));
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

// Undoes base64 (RFC 4648, padded); false for anything else.
bool fromBase64(const std::string& text, std::string& bytes) {
    const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    bytes.clear();
    if (text.size() % 4 != 0) {
        return false;
    }
    unsigned bits = 0;
    int count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '=') {
            return i + 2 >= text.size();
        }
        const size_t digit = digits.find(text[i]);
        if (digit == std::string::npos) {
            return false;
        }
        bits = (bits << 6) | static_cast<unsigned>(digit);
        if ((count += 6) >= 8) {
            bytes += static_cast<char>((bits >> (count -= 8)) & 0xff);
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    const std::string escaped = collect_file_tool::escapeForTerminal(input);
    if (!validUtf8(escaped)) {
        fuzzFailure("escaped text is not valid UTF-8");
    }
    if (holdsRawControl(escaped)) {
        fuzzFailure("escaped text holds a raw control character");
    }
    std::string back;
    if (!unescape(escaped, back) || back != input) {
        fuzzFailure("escaped text does not give back its input");
    }

    const std::string json = collect_file_tool::jsonString(input);
    if (collect_file_tool::jsonString(input, collect_file_tool::Escaping::avx2) != json ||
        collect_file_tool::jsonString(input, collect_file_tool::Escaping::byteByByte) != json) {
        fuzzFailure("the ways of escaping give different JSON strings");
    }
    if (!validUtf8(json)) {
        fuzzFailure("JSON string is not valid UTF-8");
    }
    if (holdsRawControl(json)) {
        fuzzFailure("JSON string holds a raw control character");
    }
    nlohmann::json parsed;
    try {
        parsed = nlohmann::json::parse(json);
    } catch (const nlohmann::json::exception&) {
        fuzzFailure("JSON string does not parse");
    }
    if (!parsed.is_string()) {
        fuzzFailure("JSON string parses as something else");
    }
    if (validUtf8(input) && parsed.get<std::string>() != input) {
        fuzzFailure("JSON string of valid UTF-8 does not give back its input");
    }
    if (!fromBase64(collect_file_tool::base64(input), back) || back != input) {
        fuzzFailure("base64 does not give back its input");
    }
    return 0;
}
