// check and sections: every input read to its end.

#include <string>

#include "checks.h"
#include "commands.h"
#include "json.h"
#include "report.h"
#include "status.h"
#include "text.h"

namespace collect_file_tool {

namespace {

// Checks one input; its problems go out as they are found.
int checkOne(const std::string& name, bool json, Console& console) {
    const std::string shownName = shown(name, console.escapeOut);
    if (json) {
        console.out.put("{\"file\": " + jsonString(name) + ", \"problems\": [");
    }
    InputFile input;
    const bool opened = input.open(name);
    Checker checker(
        [&](const Problem& problem) {
            if (json) {
                console.out.put((checker.problems() == 1 ? "" : ", ") + problemJson(problem, name));
            } else {
                console.out.put(problemText(shownName, problem));
            }
        },
        true);
    if (opened) {
        checkAll(input, checker, [&](const Line&, bool) { return !console.out.failed(); });
    }
    const bool readError = input.stop() == Stop::read_error;
    if (json) {
        console.out.put("], \"lines\": " + std::to_string(checker.lines()) +
                        ", \"sections\": " + std::to_string(checker.sections()) +
                        ", \"error\": " + errorJson(opened, input) + "}");
    } else if (opened) {
        console.out.put(checkSummary(shownName, checker.lines(), checker.sections(),
                                     checker.problems(), readError));
    }
    if (!opened) {
        complain(console, name, input.error());
        return kFailure;
    }
    return worse(checker.problems() > 0 ? kProblem : kClean, readErrorStatus(console, name, input));
}

// Lists the sections of one input, each as soon as the next marker line (or the end) shows
// how many entries it has.
int sectionsOf(const std::string& name, bool json, Console& console) {
    InputFile input;
    if (!input.open(name)) {
        if (json) {
            console.out.put(
                "{\"file\": " + jsonString(name) +
                ", \"sections\": [], \"problems\": 0, \"error\": " + errorJson(false, input) + "}");
        }
        complain(console, name, input.error());
        return kFailure;
    }
    console.out.put(json ? "{\"file\": " + jsonString(name) + ", \"sections\": ["
                         : sectionsHeading());
    std::string marker;
    std::uint64_t offset = 0;
    std::uint64_t entries = 0;
    std::uint64_t listed = 0;
    const auto list = [&] {
        if (!marker.empty()) {
            console.out.put(json
                                ? (listed++ == 0 ? "" : ", ") + sectionJson(marker, offset, entries)
                                : sectionRow(marker, offset, entries));
        }
    };
    ProblemTally tally;
    Checker checker([&](const Problem& problem) { tally.add(problem); }, true);
    checkAll(input, checker, [&](const Line& line, bool isMarker) {
        if (isMarker) {
            list();
            marker = line.text;
            offset = line.offset;
            entries = 0;
        } else {
            ++entries;
        }
        return !console.out.failed();
    });
    list();
    if (json) {
        console.out.put("], \"problems\": " + std::to_string(tally.count()) +
                        ", \"error\": " + errorJson(true, input) + "}");
    }
    return finishInput(console, name, input, tally);
}

// The status of every input, in order, through `one`, as one JSON document when `json`.
template <typename One>
int eachInput(const Options& options, Console& console, bool headings, One one) {
    int status = kClean;
    if (options.json) {
        console.out.put("{\"files\": [");
    }
    for (std::size_t i = 0; i < options.files.size() && !console.out.failed(); ++i) {
        const std::string& name = options.files[i];
        if (options.json && i > 0) {
            console.out.put(", ");
        }
        if (headings && !options.json && options.files.size() > 1) {
            console.out.put((i == 0 ? "==> " : "\n==> ") + shown(name, console.escapeOut) +
                            " <==\n");
        }
        status = worse(status, one(name, options.json, console));
    }
    if (options.json) {
        console.out.put("]}\n");
    }
    return status;
}

}  // namespace

int check(const Options& options, Console& console) {
    return eachInput(options, console, false, checkOne);
}

int sections(const Options& options, Console& console) {
    return eachInput(options, console, true, sectionsOf);
}

}  // namespace collect_file_tool
