// The pieces of the tool's JSON output.

#ifndef COLLECT_FILE_TOOL_JSON_H
#define COLLECT_FILE_TOOL_JSON_H

#include <cstdint>
#include <string>
#include <string_view>

namespace collect_file_tool {

// `text` as a JSON string, quotes included, that any strict parser accepts: valid UTF-8
// throughout, each byte that is not part of well-formed UTF-8 replaced by U+FFFD. `"` and `\`
// are escaped with a backslash; every C0 control, DEL and every C1 control as \u00XX, so the
// document is also safe to print on a terminal as it is.
std::string jsonString(std::string_view text);

// A number, or null when `known` is false.
std::string jsonNumberOrNull(std::uint64_t value, bool known);

}  // namespace collect_file_tool

#endif
