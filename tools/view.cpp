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

// Prints lines one by one as text or as one JSON document.
class LinePrinter {
  public:
    LinePrinter(const Options& options, Console& console) : options_(options), console_(console) {
        if (options_.json) {
            console_.out.put("{\"file\": " + jsonString(options_.files[0]) + ", \"lines\": [");
        }
    }
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
    // Ends the JSON document.
    void finish() {
        if (options_.json) {
            console_.out.put("]}\n");
        }
    }
    std::uint64_t printed() const { return printed_; }

  private:
    // A line as JSON, after its offset, or escaped for a terminal.
    __attribute__((noinline)) void printDecorated(const Line& line) {
        if (options_.json) {
            console_.out.put((printed_ == 0 ? "" : ", ") + lineJson(line));
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
    const bool plain_ = !options_.json && !options_.offsets && !console_.escapeOut;
    std::uint64_t printed_ = 0;
};

}  // namespace

int show(const Options& options, Console& console) {
    const std::string& name = options.files[0];
    const std::uint64_t start = options.offset;
    InputFile input;
    if (!input.open(name, start)) {
        complain(console, name,
                 input.pastEnd()
                     ? "offset " + std::to_string(start) + " is past the end of the file (" +
                           plural(input.size(), "byte", "bytes") + ")"
                     : input.error());
        return kFailure;
    }
    ProblemTally tally;
    Checker checker([&](const Problem& problem) { tally.add(problem); }, false);
    LinePrinter printer(options, console);
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
    std::string longLine;
    if (printer.printed() < options.count && input.tooLongLineStart(longLine)) {
        Line shownPart;
        shownPart.text = longLine;
        shownPart.offset = input.stopOffset();
        printer.print(shownPart);  // the first 2,047 bytes, all that readers get
    }
    printer.finish();
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

int entries(const Options& options, Console& console) {
    const std::string& name = options.files[0];
    InputFile input;
    if (!input.open(name)) {
        complain(console, name, input.error());
        return kFailure;
    }
    ProblemTally tally;
    Checker checker([&](const Problem& problem) { tally.add(problem); }, true);
    LinePrinter printer(options, console);
    bool inKind = false;
    checkAll(input, checker, [&](const Line& line, bool marker) {
        if (marker) {
            inKind = line.text == options.marker;
            return true;
        }
        return !inKind || printer.print(line);
    });
    printer.finish();
    if (console.out.failed()) {
        return kFailure;
    }
    return finishInput(console, name, input, tally);
}

}  // namespace collect_file_tool
