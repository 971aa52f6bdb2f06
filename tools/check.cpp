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
int checkOne(const std::string& name, JsonDocument* json, Console& console) {
    const std::string shownName = shown(name, console.escapeOut);
    if (json) {
        json->beginFile(name);
        json->beginArray("problems");
    }
    InputFile input;
    const bool opened = input.open(name);
    Checker checker(
        [&](const Problem& problem) {
            if (json) {
                json->problem(problem, name);
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
        json->endArray();
        json->count("line_count", checker.lines());
        json->count("section_count", checker.sections());
        json->error(opened, input);
        json->endFile();
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
int sectionsOf(const std::string& name, JsonDocument* json, Console& console) {
    InputFile input;
    const bool opened = input.open(name);
    if (json) {
        json->beginFile(name);
        json->beginArray("sections");
    } else if (opened) {
        console.out.put(sectionsHeading());
    }
    std::string marker;
    std::uint64_t offset = 0;
    std::uint64_t entries = 0;
    const auto list = [&] {
        if (marker.empty()) {
            return;
        }
        if (json) {
            json->section(marker, offset, entries);
        } else {
            console.out.put(sectionRow(marker, offset, entries));
        }
    };
    ProblemTally tally(json != nullptr);
    Checker checker([&](const Problem& problem) { tally.add(problem); }, true);
    if (opened) {
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
    }
    list();
    if (json) {
        json->endArray();
        json->problems(tally.kept(), name);
        json->error(opened, input);
        json->endFile();
    }
    if (!opened) {
        complain(console, name, input.error());
        return kFailure;
    }
    return finishInput(console, name, input, tally);
}

}  // namespace

int check(const Options& options, Console& console) {
    return eachInput(options, console, false, [&](const std::string& name, JsonDocument* json) {
        return checkOne(name, json, console);
    });
}

int sections(const Options& options, Console& console) {
    return eachInput(options, console, true, [&](const std::string& name, JsonDocument* json) {
        return sectionsOf(name, json, console);
    });
}

}  // namespace collect_file_tool
