// The pieces of the reports: what each command prints for a line, a problem, a section or a
// file, as text and as JSON, and the one stderr line that sums up a file's problems.

#ifndef COLLECT_FILE_TOOL_REPORT_H
#define COLLECT_FILE_TOOL_REPORT_H

#include <cstdint>
#include <string>
#include <string_view>

#include "checks.h"
#include "input.h"
#include "output.h"

namespace collect_file_tool {

// "NAME: offset N: message\n", NAME as given, also in the message (escape it first where
// needed).
std::string problemText(std::string_view shownName, const Problem& problem);
// {"offset": N, "kind": "...", "message": "..."}
std::string problemJson(const Problem& problem, std::string_view name);

// "NAME: 5 lines, 1 section, clean\n"; "3 problems" instead of clean; when reading failed,
// never clean: "NAME: 5 lines, 1 section[, 3 problems], then a read error\n".
std::string checkSummary(std::string_view shownName, std::uint64_t lines, std::uint64_t sections,
                         std::uint64_t problems, bool readError);

// The heading and a row of the sections table.
std::string sectionsHeading();
std::string sectionRow(std::string_view marker, std::uint64_t offset, std::uint64_t entries);
// {"marker": "...", "offset": N, "entries": N}
std::string sectionJson(std::string_view marker, std::uint64_t offset, std::uint64_t entries);

// {"offset": N, "text": "..."}
std::string lineJson(const Line& line);

// {"offset": N, "message": "..."} for a read error of `source` (or null offset and the open
// error when `opened` is false); null when there is none.
std::string errorJson(bool opened, const InputFile& source);

// Remembers what the problems of one input were without keeping them all: their count, the
// first one and a line too long, which ends reading.
class ProblemTally {
  public:
    void add(const Problem& problem);
    std::uint64_t count() const { return count_; }
    // One line for standard error: the too-long line if any, else the first problem, and how
    // many more there are; empty without problems. `name` as it is to be shown.
    std::string note(std::string_view name) const;

  private:
    std::uint64_t count_ = 0;
    Problem first_{ProblemKind::too_long, 0};
    Problem tooLong_{ProblemKind::too_long, 0};
    bool hasTooLong_ = false;
};

// "offset N: message": where a message about an input points.
std::string atOffset(std::uint64_t offset, std::string_view message);

// After reading `source`: complains on standard error about a read error and returns 2 for
// it; 0 without one.
int readErrorStatus(Console& console, std::string_view name, const LineSource& source);

// After reading `source` (opened) to where the command stopped: complains on standard error
// about a read error and about the tallied problems, and returns the input's exit status.
int finishInput(Console& console, std::string_view name, const LineSource& source,
                const ProblemTally& tally);

}  // namespace collect_file_tool

#endif
