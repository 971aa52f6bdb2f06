#include "report.h"

#include <cstdio>

#include "status.h"
#include "text.h"

namespace collect_file_tool {

std::string problemText(std::string_view shownName, const Problem& problem) {
    return std::string(shownName) + ": " +
           atOffset(problem.offset, problemMessage(problem, shownName)) + "\n";
}

std::string checkSummary(std::string_view shownName, std::uint64_t lines, std::uint64_t sections,
                         std::uint64_t problems, bool readError) {
    std::string text = std::string(shownName) + ": " + plural(lines, "line", "lines") + ", " +
                       plural(sections, "section", "sections");
    if (problems > 0) {
        text += ", " + plural(problems, "problem", "problems");
    }
    return text + (readError ? ", then a read error\n" : problems == 0 ? ", clean\n" : "\n");
}

namespace {

// The sections table's columns: the marker padded to 20, the offset in 12, the count in 10.
std::string tableRow(std::string_view marker, const char* offset, const char* entries) {
    char row[96];
    std::snprintf(row, sizeof row, "%-20.*s %12s %10s\n", static_cast<int>(marker.size()),
                  marker.data(), offset, entries);
    return row;
}

}  // namespace

std::string sectionsHeading() {
    return tableRow("MARKER", "OFFSET", "ENTRIES");
}

std::string sectionRow(std::string_view marker, std::uint64_t offset, std::uint64_t entries) {
    return tableRow(marker, std::to_string(offset).c_str(), std::to_string(entries).c_str());
}

void ProblemTally::add(const Problem& problem) {
    if (keepAll_) {
        kept_.push_back(problem);
    }
    if (count_++ == 0) {
        first_ = problem;
    }
}

std::string ProblemTally::note(std::string_view name) const {
    if (count_ == 0) {
        return "";
    }
    std::string text = atOffset(first_.offset, problemMessage(first_, name));
    if (count_ > 1) {
        text += " (" + plural(count_ - 1, "more problem", "more problems") +
                ": collect-file check lists them)";
    }
    return text;
}

std::string atOffset(std::uint64_t offset, std::string_view message) {
    return "offset " + std::to_string(offset) + ": " + std::string(message);
}

int readErrorStatus(Console& console, std::string_view name, const LineSource& source) {
    if (source.stop() != Stop::read_error) {
        return kClean;
    }
    complain(console, name, atOffset(source.stopOffset(), source.error()));
    return kFailure;
}

int finishInput(Console& console, std::string_view name, const LineSource& source,
                const ProblemTally& tally) {
    if (tally.count() > 0) {
        complain(console, name, tally.note(shown(name, console.escapeErr)));
    }
    return worse(tally.count() > 0 ? kProblem : kClean, readErrorStatus(console, name, source));
}

}  // namespace collect_file_tool
