// All of the tool's JSON: every --json document is written here, in one shape for every command.
//
//   {"files": [FILE, ...]}, one FILE per input, in the order given:
//   {"file": NAME,
//    "lines": [{"offset": N, "text": TEXT[, "base64": BYTES]}, ...],  show, entries
//    "sections": [{"marker": TEXT, "offset": N, "entries": N}, ...],  sections
//    "problems": [{"offset": N, "kind": KIND, "message": TEXT}, ...],  every command
//    "line_count": N, "section_count": N,                              check
//    "error": null | {"offset": N | null, "message": TEXT}}            every command
//
// A key has one type wherever it appears. Text is escaped straight into the output's buffer,
// each run of bytes that stay as they are in one piece.

#ifndef COLLECT_FILE_TOOL_JSON_H
#define COLLECT_FILE_TOOL_JSON_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "checks.h"
#include "input.h"
#include "output.h"

namespace collect_file_tool {

// `text` as a JSON string, quotes included, that any strict parser accepts: valid UTF-8
// throughout, each byte that is not part of well-formed UTF-8 replaced by U+FFFD. `"` and `\`
// are escaped with a backslash; every C0 control, DEL, every C1 control and every
// bidirectional control (isBidiControl) as \u00XX or \u20XX, so the document is also safe to
// print on a terminal as it is. A parser gives back every byte of well-formed UTF-8.
// `escaping` is for tests that compare the ways, which give the same string: with the widest
// vectors the processor has (AVX-512 VBMI2, else AVX2), as every document is escaped; with AVX2
// at most; or a byte at a time.
enum class Escaping { widest, avx2, byteByByte };
std::string jsonString(std::string_view text, Escaping escaping = Escaping::widest);

// `bytes` in base64 (RFC 4648, with padding), as the "base64" of a line that is not UTF-8.
std::string base64(std::string_view bytes);

// Writes one document of the shape above to `out`, piece by piece, as the command reads its
// inputs. The calls follow the shape: beginFile, then for each array beginArray, its elements,
// endArray; then counts and error; endFile; finish once after the last file.
class JsonDocument {
  public:
    explicit JsonDocument(Output& out);

    void beginFile(std::string_view name);
    // `"key": [`; key is one of the shape's array keys.
    void beginArray(const char* key);
    void line(const Line& line);
    void section(std::string_view marker, std::uint64_t offset, std::uint64_t entries);
    // `name` as the input was named: the truncate hint of a cut last line names it.
    void problem(const Problem& problem, std::string_view name);
    void endArray();
    // The "problems" array of problems kept until the end of the input.
    void problems(const std::vector<Problem>& problems, std::string_view name);
    // `"key": N`, after the arrays.
    void count(const char* key, std::uint64_t value);
    // The input's "error": null when `opened` and its reading did not fail; else the reason,
    // with a null offset when it could not be opened.
    void error(bool opened, const InputFile& input);
    void endFile();
    // Ends the document and its line.
    void finish();

  private:
    // The comma before an element of the open array, but for its first.
    void element();
    // A string value, escaped.
    void string(std::string_view text);
    void number(std::uint64_t value);

    Output& out_;
    bool firstFile_ = true;
    bool firstElement_ = true;
};

}  // namespace collect_file_tool

#endif
