#include "text.h"

#include <cstdio>

namespace collect_file_tool {

std::size_t utf8Length(std::string_view bytes) {
    if (bytes.empty()) {
        return 0;
    }
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    if (s[0] < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (s[0] >= 0xc2 && s[0] <= 0xdf) {
        length = 2;
    } else if (s[0] >= 0xe0 && s[0] <= 0xef) {
        length = 3;
        low = s[0] == 0xe0 ? 0xa0 : 0x80;   // no overlong forms
        high = s[0] == 0xed ? 0x9f : 0xbf;  // no surrogates
    } else if (s[0] >= 0xf0 && s[0] <= 0xf4) {
        length = 4;
        low = s[0] == 0xf0 ? 0x90 : 0x80;
        high = s[0] == 0xf4 ? 0x8f : 0xbf;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (bytes.size() < length || s[1] < low || s[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (s[i] < 0x80 || s[i] > 0xbf) {
            return 0;
        }
    }
    return length;
}

namespace {

void appendHex(std::string& result, unsigned char c) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
    result += escaped;
}

}  // namespace

std::string escapeForTerminal(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8Length(text.substr(i));
        const bool c1 = length == 2 && s[i] == 0xc2 && s[i + 1] < 0xa0;
        const bool bidi = isBidiControl(s + i, length);
        if (length == 0 || c1 || bidi || s[i] < 0x20 || s[i] == 0x7f) {
            const std::size_t bytes = length == 0 ? 1 : length;
            for (std::size_t k = 0; k < bytes; ++k) {
                appendHex(result, s[i + k]);
            }
            i += bytes;
        } else if (s[i] == '\\') {
            result += "\\\\";
            ++i;
        } else {
            result.append(text.substr(i, length));
            i += length;
        }
    }
    return result;
}

std::string shown(std::string_view text, bool escape) {
    return escape ? escapeForTerminal(text) : std::string(text);
}

std::string shellWord(std::string_view path) {
    const char kPlain[] = "_./+-:@%,=";
    bool plain = !path.empty() && path[0] != '-';
    for (const char c : path) {
        const bool alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        plain = plain && (alnum || std::string_view(kPlain).find(c) != std::string_view::npos);
    }
    if (plain) {
        return std::string(path);
    }
    std::string word = !path.empty() && path[0] == '-' ? "'./" : "'";
    for (const char c : path) {
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return word + "'";
}

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace collect_file_tool
