// The command line: which command, its options and operands, checked before any file is
// opened.

#ifndef COLLECT_FILE_TOOL_ARGUMENTS_H
#define COLLECT_FILE_TOOL_ARGUMENTS_H

#include <collect_file/collect_file.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace collect_file_tool {

enum class Command { help, version, check, sections, show, entries };

struct Options {
    Command command = Command::help;
    bool commandHelp = false;  // COMMAND --help: describe the command, do nothing else
    bool json = false;
    bool raw = false;       // keep control bytes on a terminal
    bool offsets = false;   // show, entries: each line as OFFSET:TEXT
    bool recorded = false;  // show: OFFSET is a value readLine(line, offset) reported
    // check, sections, entries: the inputs ("-" is standard input; none given: {"-"}).
    // show: the one input.
    std::vector<std::string> files;
    std::uint64_t offset = 0;  // show: the first line's first byte (--recorded: value + 1)
    std::uint64_t count = 1;   // show: how many lines at most, 1 or more
    collect_file::Section kind = collect_file::Section::full;  // entries: KIND
};

struct Arguments {
    Options options;
    std::string error;  // why the command line is wrong, for usageError(); empty when right
};

// Parses the arguments after the program's name. Options may come anywhere before "--",
// which ends them; "-" alone is an operand. entries takes KIND [FILE...], and also 1.2.0's
// FILE KIND when FILE is not a kind's name. A wrong command line gives a non-empty error that
// names the command and the argument, such as "show: missing OFFSET".
Arguments parseArguments(const std::vector<std::string>& args);

// A decimal number of 64 bits, digits only (no sign, no space); false for anything else.
bool parseNumber(std::string_view text, std::uint64_t& value);

// The text of `collect-file --help`: one line per command.
std::string helpText();
// The text of `collect-file COMMAND --help`: usage, options and an example.
std::string commandHelpText(Command command);
// "collect-file 1.3.0\n", from the library's version macros.
std::string versionText();

}  // namespace collect_file_tool

#endif
