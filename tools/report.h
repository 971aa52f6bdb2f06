// The pieces of the text reports: what each command prints for a problem, a section or a file,
// and the one stderr line that sums up a file's problems (JSON is json.h's).

#ifndef COLLECT_FILE_TOOL_REPORT_H
#define COLLECT_FILE_TOOL_REPORT_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arguments.h"
#include "checks.h"
#include "input.h"
#include "json.h"
#include "output.h"
#include "status.h"
#include "text.h"

namespace collect_file_tool {

// "NAME: offset N: message\n", NAME as given, also in the message (escape it first where
// needed).
std::string problemText(std::string_view shownName, const Problem& problem);

// "NAME: 5 lines, 1 section, clean\n"; "3 problems" instead of clean; when reading failed,
// never clean: "NAME: 5 lines, 1 section[, 3 problems], then a read error\n".
std::string checkSummary(std::string_view shownName, std::uint64_t lines, std::uint64_t sections,
                         std::uint64_t problems, bool readError);

// The heading and a row of the sections table.
std::string sectionsHeading();
std::string sectionRow(std::string_view marker, std::uint64_t offset, std::uint64_t entries);

// Remembers what the problems of one input were: their count, the first one, and every one of
// them only when `keepAll` (for a JSON document, which lists them after
// the lines).
class ProblemTally {
  public:
    explicit ProblemTally(bool keepAll = false) : keepAll_(keepAll) {}
    void add(const Problem& problem);
    std::uint64_t count() const { return count_; }
    // Every problem, in the order found, when kept.
    const std::vector<Problem>& kept() const { return kept_; }
    // One line for standard error: the first problem, and how many more there are; empty
    // without problems. `name` as it is to be shown.
    std::string note(std::string_view name) const;

  private:
    std::uint64_t count_ = 0;
    Problem first_{ProblemKind::too_long, 0};
    bool keepAll_;
    std::vector<Problem> kept_;
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

// Runs `one(name, json)` on each input in order (json: the document every input is written
// into, or nullptr for text) and returns the worst status. With several inputs and
// `headings`, the text of each comes after a line "==> NAME <==", and a blank line separates
// them, as head(1) does.
template <typename One>
int eachInput(const Options& options, Console& console, bool headings, One one) {
    std::unique_ptr<JsonDocument> json;
    if (options.json) {
        json.reset(new JsonDocument(console.out));
    }
    int status = kClean;
    for (std::size_t i = 0; i < options.files.size() && !console.out.failed(); ++i) {
        const std::string& name = options.files[i];
        if (headings && !json && options.files.size() > 1) {
            console.out.put((i == 0 ? "==> " : "\n==> ") + shown(name, console.escapeOut) +
                            " <==\n");
        }
        status = worse(status, one(name, json.get()));
    }
    if (json) {
        json->finish();
    }
    return status;
}

}  // namespace collect_file_tool

#endif
