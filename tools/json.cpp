#include "json.h"

#include <cstdio>

#include "text.h"

namespace collect_file_tool {

std::string jsonString(std::string_view text) {
    std::string result = "\"";
    result.reserve(text.size() + 2);
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8Length(text.substr(i));
        // The code point of a control character (C0, DEL, C1), or -1.
        int control = -1;
        if (length == 1 && (s[i] < 0x20 || s[i] == 0x7f)) {
            control = s[i];
        } else if (length == 2 && s[i] == 0xc2 && s[i + 1] < 0xa0) {
            control = s[i + 1];
        }
        if (length == 0) {
            result += "\xef\xbf\xbd";
            ++i;
        } else if (s[i] == '"' || s[i] == '\\') {
            result += '\\';
            result += static_cast<char>(s[i++]);
        } else if (control >= 0) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(control));
            result += escaped;
            i += length;
        } else {
            result.append(text.substr(i, length));
            i += length;
        }
    }
    return result + "\"";
}

std::string jsonNumberOrNull(std::uint64_t value, bool known) {
    return known ? std::to_string(value) : std::string("null");
}

}  // namespace collect_file_tool
