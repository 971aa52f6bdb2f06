// What `check` reports, found line by line: every command runs these checks on the lines it
// reads, so that one exit-status rule holds for all of them.

#ifndef COLLECT_FILE_TOOL_CHECKS_H
#define COLLECT_FILE_TOOL_CHECKS_H

#include <collect_file/collect_file.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "input.h"

namespace collect_file_tool {

enum class ProblemKind {
    entries_before_marker,  // count: entries before the first marker line; offset: the first's
    nul,                    // count: the bytes readers get of the line
    carriage_return,        // a marker line ending in \r
    no_newline,             // a cut last line; offset: its first byte
    grew_while_read,        // count: the bytes readers got of a line still being written
    ended_early,            // the end came before the file's size when opened (count)
    too_long,               // a line of 2,048 bytes or more: readers cannot deliver it
};

struct Problem {
    ProblemKind kind;
    std::uint64_t offset;     // the first byte of the line it is about
    std::uint64_t count = 0;  // see ProblemKind
};

// The kind's name in JSON output, such as "no-newline".
const char* problemKindName(ProblemKind kind);
// The problem in words, as check prints it after "NAME: offset N: ". `name` is the input's
// name as it is to be shown: the hint for a cut last line names it, quoted for a shell (no
// hint for standard input, "-").
std::string problemMessage(const Problem& problem, std::string_view name);

// The last byte of every marker line: one load tells almost every entry line apart.
const char kMarkerEnd = ']';

// One of the three marker lines, exactly, as the library's section_of() tells them.
inline bool isMarker(std::string_view text) {
    return !text.empty() && text.back() == kMarkerEnd && collect_file::section_of(text).has_value();
}
// A marker line followed by one '\r', as a CRLF file has it.
inline bool isMarkerWithCarriageReturn(std::string_view text) {
    return !text.empty() && text.back() == '\r' && isMarker(text.substr(0, text.size() - 1));
}

// Counts lines and sections and finds problems, one line at a time; each problem goes to the
// sink as soon as it is known, so that memory does not grow with their number.
class Checker {
  public:
    using Sink = std::function<void(const Problem&)>;
    // `entriesBeforeMarker`: whether entries before the first marker line are a problem; false
    // for a reader that starts in the middle of a file.
    Checker(Sink sink, bool entriesBeforeMarker);

    // Looks at the next line; whether it is a marker line (never a line too long).
    bool line(const Line& line) {
        ++lines_;
        const bool marker = !line.tooLong && isMarker(line.text);
        if (marker || sections_ == 0 || line.tooLong || line.length != line.text.size() ||
            line.ending != Ending::newline || line.text.empty() || line.text.back() == '\r') {
            rareLine(line, marker);
        }
        return marker;
    }
    // Reading stopped: reports an end before the size the file had, and entries before a
    // marker still pending.
    void stopped(const LineSource& source);

    std::uint64_t lines() const { return lines_; }
    std::uint64_t sections() const { return sections_; }
    std::uint64_t problems() const { return problems_; }

  private:
    // The part of line() for lines that may be a marker or have a problem.
    void rareLine(const Line& line, bool marker);
    void report(const Problem& problem);
    void flushEntriesBeforeMarker();

    Sink sink_;
    bool entriesBeforeMarker_;
    std::uint64_t lines_ = 0;
    std::uint64_t sections_ = 0;
    std::uint64_t problems_ = 0;
    std::uint64_t entriesBefore_ = 0;
    std::uint64_t firstEntryOffset_ = 0;
};

// Reads a source through a Checker until it stops or `onLine(line, isMarker)` returns false:
// the common loop of every command. A Source of a final class is read without a virtual call
// per line.
template <typename Source, typename OnLine>
void checkAll(Source& source, Checker& checker, OnLine&& onLine) {
    Line line;
    while (source.next(line)) {
        if (!onLine(line, checker.line(line))) {
            return;
        }
    }
    checker.stopped(source);
}

}  // namespace collect_file_tool

#endif
