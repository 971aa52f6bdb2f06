// Text from a file (its lines, its name) as it may reach a terminal or a shell command line.

#ifndef COLLECT_FILE_TOOL_TEXT_H
#define COLLECT_FILE_TOOL_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace collect_file_tool {

// Length of the well-formed UTF-8 sequence at the start of `bytes`, or 0 when there is none
// (a stray continuation byte, an overlong form, a surrogate, past U+10FFFF, or a sequence cut
// by the end of `bytes`). 0 for empty input.
std::size_t utf8Length(std::string_view bytes);

// Whether the well-formed UTF-8 sequence of `length` bytes at `s` is a bidirectional control,
// U+202A to U+202E or U+2066 to U+2069, which reorders the text that follows it on a terminal.
inline bool isBidiControl(const unsigned char* s, std::size_t length) {
    return length == 3 && s[0] == 0xe2 &&
           ((s[1] == 0x80 && s[2] >= 0xaa && s[2] <= 0xae) ||
            (s[1] == 0x81 && s[2] >= 0xa6 && s[2] <= 0xa9));
}

// `text` safe for a terminal: every C0 control, DEL, every C1 control (U+0080 to U+009F),
// every bidirectional control (see isBidiControl) and every byte that is not part of
// well-formed UTF-8 becomes \xHH (each byte of a character so escaped), and the backslash
// becomes \\, so the result is printable, valid UTF-8, shown in the order of its bytes, and
// tells every byte apart. Everything else is kept.
std::string escapeForTerminal(std::string_view text);

// `text` as it goes to a stream: escaped as above when `escape`, else unchanged.
std::string shown(std::string_view text, bool escape);

// `path` as one word for a POSIX shell: unchanged when it holds only letters, digits and
// `_./+-:@%,=` and does not start with '-'; else in single quotes (a quote as '\''), with "./"
// before a relative path that starts with '-'. Empty: ''.
std::string shellWord(std::string_view path);

// "1 line", "2 lines": n and the noun for it.
std::string plural(std::uint64_t n, const char* one, const char* many);

}  // namespace collect_file_tool

#endif
