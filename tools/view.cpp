// show and entries: lines as readers get them.

#include <collect_file/CollectFileReaderWriter.h>

#include <string>

#include "checks.h"
#include "commands.h"
#include "json.h"
#include "report.h"
#include "status.h"
#include "text.h"

namespace collect_file_tool {

namespace {

// Prints lines one by one as text, or into the "lines" of a JSON document.
class LinePrinter {
  public:
    LinePrinter(const Options& options, Console& console, JsonDocument* json)
        : options_(options), console_(console), json_(json) {}
    // Prints a line; false once output failed.
    bool print(const Line& line) {
        if (plain_) {
            console_.out.putLine(line.text);
        } else {
            printDecorated(line);
        }
        ++printed_;
        return !console_.out.failed();
    }
    std::uint64_t printed() const { return printed_; }

  private:
    // A line into the JSON document, or after its offset, or escaped for a terminal.
    __attribute__((noinline)) void printDecorated(const Line& line) {
        if (json_) {
            json_->line(line);
            return;
        }
        if (options_.offsets) {
            console_.out.put(std::to_string(line.offset));
            console_.out.put(':');
        }
        if (console_.escapeOut) {
            console_.out.put(escapeForTerminal(line.text));
        } else {
            console_.out.put(line.text);
        }
        console_.out.put('\n');
    }

    const Options& options_;
    Console& console_;
    JsonDocument* json_;
    const bool plain_ = !json_ && !options_.offsets && !console_.escapeOut;
    std::uint64_t printed_ = 0;
};

// Starts the file's entry in the JSON document, if any, with its array of lines open.
void beginLines(JsonDocument* json, std::string_view name) {
    if (json) {
        json->beginFile(name);
        json->beginArray("lines");
    }
}

// The end of one input's JSON object, after its lines.
void finishJson(JsonDocument* json, const ProblemTally& tally, std::string_view name, bool opened,
                const InputFile& input) {
    if (json) {
        json->endArray();
        json->problems(tally.kept(), name);
        json->error(opened, input);
        json->endFile();
    }
}

int showOne(const Options& options, const std::string& name, JsonDocument* json, Console& console) {
    const std::uint64_t start = options.offset;
    InputFile input;
    const bool opened = input.open(name, start);
    beginLines(json, name);
    ProblemTally tally(json != nullptr);
    if (!opened) {
        finishJson(json, tally, name, opened, input);
        complain(console, name,
                 input.pastEnd()
                     ? "offset " + std::to_string(start) + " is past the end of the file (" +
                           plural(input.size(), "byte", "bytes") + ")"
                     : input.error());
        return kFailure;
    }
    Checker checker([&](const Problem& problem) { tally.add(problem); }, false);
    LinePrinter printer(options, console, json);
    checkAll(input, checker, [&](const Line& line, bool) {
        if (printer.printed() == 0) {
            const int before = input.byteBeforeStart();
            if (before != -1 && before != '\n') {
                complain(console, name,
                         "offset " + std::to_string(start) +
                             " is not the first byte of a line: showing from that byte");
            }
        }
        return printer.print(line) && printer.printed() < options.count;
    });
    finishJson(json, tally, name, opened, input);
    if (console.out.failed()) {
        return kFailure;
    }
    if (input.stop() == Stop::end && printer.printed() == 0) {
        complain(console, name,
                 "offset " + std::to_string(start) + " is past the end of the input");
        return kFailure;
    }
    return finishInput(console, name, input, tally);
}

int entriesOf(const Options& options, const std::string& name, JsonDocument* json,
              Console& console) {
    InputFile input;
    const bool opened = input.open(name);
    beginLines(json, name);
    ProblemTally tally(json != nullptr);
    if (!opened) {
        finishJson(json, tally, name, opened, input);
        complain(console, name, input.error());
        return kFailure;
    }
    Checker checker([&](const Problem& problem) { tally.add(problem); }, true);
    LinePrinter printer(options, console, json);
    bool inKind = false;
    checkAll(input, checker, [&](const Line& line, bool marker) {
        if (marker) {
            inKind = collect_file::section_of(line.text) == options.kind;
            return true;
        }
        return !inKind || printer.print(line);
    });
    finishJson(json, tally, name, opened, input);
    if (console.out.failed()) {
        return kFailure;
    }
    return finishInput(console, name, input, tally);
}

}  // namespace

int show(const Options& options, Console& console) {
    return eachInput(options, console, false, [&](const std::string& name, JsonDocument* json) {
        return showOne(options, name, json, console);
    });
}

int entries(const Options& options, Console& console) {
    return eachInput(options, console, true, [&](const std::string& name, JsonDocument* json) {
        return entriesOf(options, name, json, console);
    });
}

}  // namespace collect_file_tool
