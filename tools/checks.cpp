#include "checks.h"

#include <cassert>

#include "text.h"

namespace collect_file_tool {

const char* problemKindName(ProblemKind kind) {
    switch (kind) {
        case ProblemKind::entries_before_marker:
            return "entries-before-marker";
        case ProblemKind::nul:
            return "nul";
        case ProblemKind::carriage_return:
            return "carriage-return";
        case ProblemKind::no_newline:
            return "no-newline";
        case ProblemKind::grew_while_read:
            return "grew-while-read";
        case ProblemKind::too_long:
            return "too-long";
        case ProblemKind::ended_early:
            return "ended-early";
    }
    return "unknown";
}

std::string problemMessage(const Problem& problem, std::string_view name) {
    switch (problem.kind) {
        case ProblemKind::entries_before_marker:
            return plural(problem.count, "entry", "entries") + " before the first marker line";
        case ProblemKind::nul:
            return "NUL byte inside the line: readers get only its first " +
                   plural(problem.count, "byte", "bytes");
        case ProblemKind::carriage_return:
            return "marker line ends in \\r (a CRLF file): clients do not see it as a marker";
        case ProblemKind::no_newline:
            return "last line has no newline: the input ends inside it" +
                   (name == "-" ? std::string()
                                : "; truncate -s " + std::to_string(problem.offset) + " " +
                                      shellWord(name) + " keeps the whole lines");
        case ProblemKind::grew_while_read:
            return "the line was still being written when it was read: readers got only its "
                   "first " +
                   plural(problem.count, "byte", "bytes");
        case ProblemKind::too_long:
            return "line of 2,048 bytes or more: readers cannot deliver it whole";
        case ProblemKind::ended_early:
            return "the file ended here, before the " + plural(problem.count, "byte", "bytes") +
                   " it had when it was opened: it shrank while it was read";
    }
    return "";
}

Checker::Checker(Sink sink, bool entriesBeforeMarker)
    : sink_(std::move(sink)), entriesBeforeMarker_(entriesBeforeMarker) {
    for (const auto section : {collect_file::Section::full, collect_file::Section::diff,
                               collect_file::Section::system}) {
        assert(collect_file::marker(section).back() == kMarkerEnd &&
               "isMarker looks at the last byte first");
        (void)section;
    }
}

void Checker::report(const Problem& problem) {
    ++problems_;
    if (sink_) {
        sink_(problem);
    }
}

void Checker::flushEntriesBeforeMarker() {
    if (entriesBefore_ > 0) {
        report({ProblemKind::entries_before_marker, firstEntryOffset_, entriesBefore_});
        entriesBefore_ = 0;
    }
}

void Checker::rareLine(const Line& line, bool marker) {
    assert(line.length >= line.text.size() && "a line is at least what readers get of it");
    if (marker) {
        if (sections_++ == 0) {
            flushEntriesBeforeMarker();
        }
    } else if (sections_ == 0 && entriesBeforeMarker_ && entriesBefore_++ == 0) {
        firstEntryOffset_ = line.offset;
    }
    if (line.tooLong) {
        report({ProblemKind::too_long, line.offset});
    } else if (line.length > line.text.size()) {
        report({ProblemKind::nul, line.offset, line.text.size()});
    }
    if (!marker && isMarkerWithCarriageReturn(line.text)) {
        report({ProblemKind::carriage_return, line.offset});
    }
    if (line.ending == Ending::none) {
        report({ProblemKind::no_newline, line.offset});
    } else if (line.ending == Ending::grew) {
        report({ProblemKind::grew_while_read, line.offset, line.text.size()});
    }
}

void Checker::stopped(const LineSource& source) {
    if (const std::uint64_t size = source.sizeNotReached()) {
        report({ProblemKind::ended_early, source.stopOffset(), size});
    }
    flushEntriesBeforeMarker();
}

}  // namespace collect_file_tool
