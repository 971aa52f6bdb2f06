#include "arguments.h"

#include <collect_file/CollectFileReaderWriter.h>

#include <utility>

namespace collect_file_tool {

namespace {

struct CommandInfo {
    Command command;
    const char* name;
    const char* options;  // the options it takes, each between spaces
};

const CommandInfo kCommands[] = {
    {Command::check, "check", " --json --raw "},
    {Command::sections, "sections", " --json --raw "},
    {Command::show, "show", " --recorded --offsets --json --raw "},
    {Command::entries, "entries", " --offsets --json --raw "},
};

struct KindInfo {
    const char* name;
    collect_file::Section section;
};

const KindInfo kKinds[] = {
    {"full", collect_file::Section::full},
    {"diff", collect_file::Section::diff},
    {"system", collect_file::Section::system},
};

// The kind named `name` into `kind`; false for another word.
bool kindNamed(const std::string& name, collect_file::Section& kind) {
    for (const KindInfo& info : kKinds) {
        if (name == info.name) {
            kind = info.section;
            return true;
        }
    }
    return false;
}

// Checks the operands of entries: KIND [FILE...], or FILE KIND as 1.2.0 took them when FILE
// names no kind. The error, or empty.
std::string takeEntriesOperands(Options& options, std::vector<std::string> operands) {
    if (operands.empty()) {
        return "entries: missing KIND";
    }
    if (!kindNamed(operands[0], options.kind)) {
        if (operands.size() != 2 || !kindNamed(operands[1], options.kind)) {
            return "entries: KIND is full, diff or system, not '" + operands[0] + "'";
        }
        std::swap(operands[0], operands[1]);
    }
    operands.erase(operands.begin());
    options.files = operands.empty() ? std::vector<std::string>{"-"} : operands;
    return "";
}

// Checks the operands of every command and fills in what they say; the error, or empty.
std::string takeOperands(Options& options, const std::vector<std::string>& operands,
                         const std::string& name) {
    const std::size_t n = operands.size();
    if (options.command == Command::check || options.command == Command::sections) {
        options.files = n == 0 ? std::vector<std::string>{"-"} : operands;
        return "";
    }
    if (options.command == Command::entries) {
        return takeEntriesOperands(options, operands);
    }
    if (n == 0) {
        return name + ": missing FILE";
    }
    options.files = {operands[0]};
    const char* what = options.recorded ? "VALUE" : "OFFSET";
    if (n == 1) {
        return std::string("show: missing ") + what;
    }
    if (n > 3) {
        return "show: too many arguments";
    }
    std::uint64_t value = 0;
    if (!parseNumber(operands[1], value)) {
        return std::string(what) + " is not a number: '" + operands[1] + "'";
    }
    // readLine(line, offset) reports one less than the line's first byte; the first line's
    // value wraps to 0 here.
    options.offset = options.recorded ? value + 1 : value;
    if (n == 3 && (!parseNumber(operands[2], options.count) || options.count == 0)) {
        return "COUNT is not a positive number: '" + operands[2] + "'";
    }
    return "";
}

}  // namespace

bool parseNumber(std::string_view text, std::uint64_t& value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    return true;
}

Arguments parseArguments(const std::vector<std::string>& args) {
    Arguments result;
    Options& options = result.options;
    if (args.empty()) {
        result.error = "missing command";
        return result;
    }
    const std::string& name = args[0];
    if (name == "--help" || name == "-h") {
        options.command = Command::help;
        return result;
    }
    if (name == "--version") {
        options.command = Command::version;
        return result;
    }
    const CommandInfo* info = nullptr;
    for (const CommandInfo& candidate : kCommands) {
        info = name == candidate.name ? &candidate : info;
    }
    if (info == nullptr) {
        result.error = "unknown command '" + name + "'";
        return result;
    }
    options.command = info->command;
    std::vector<std::string> operands;
    bool optionsEnded = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
            operands.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            options.commandHelp = true;
            return result;
        } else if (std::string(info->options).find(" " + arg + " ") == std::string::npos) {
            result.error = name + ": unknown option '" + arg + "'";
            return result;
        } else {
            options.json |= arg == "--json";
            options.raw |= arg == "--raw";
            options.offsets |= arg == "--offsets";
            options.recorded |= arg == "--recorded";
        }
    }
    result.error = takeOperands(options, operands, name);
    return result;
}

std::string helpText() {
    return "Usage: collect-file COMMAND [OPTION]... [ARGUMENT]...\n"
           "Checks collect files and shows what their readers get.\n"
           "\n"
           "  check [FILE]...            report every problem a reader would meet\n"
           "  sections [FILE]...         list the marker lines, their offsets and entries\n"
           "  show FILE OFFSET [COUNT]   print COUNT lines from the line at byte OFFSET\n"
           "  entries KIND [FILE]...     print the entries of every full, diff or system "
           "section\n"
           "  --version                  print the version\n"
           "\n"
           "FILE - is standard input, which check, sections and entries also read when no\n"
           "FILE is given. Exit status: 0 clean, 1 a problem, 2 a failure.\n"
           "collect-file COMMAND --help describes a command; see collect-file(1).\n";
}

std::string commandHelpText(Command command) {
    switch (command) {
        case Command::check:
            return "Usage: collect-file check [--json] [--raw] [FILE]...\n"
                   "Reads each FILE (standard input when there is none, or for -) as a reader\n"
                   "would and reports every problem: entries before the first marker line, a NUL\n"
                   "byte, a marker line ending in \\r, a line of 2,048 bytes or more, a cut last\n"
                   "line. Each problem is printed with the offset of its line's first byte, and\n"
                   "reading goes on past every one of them to the end of the file.\n"
                   "\n"
                   "  --json  one JSON document for all files\n"
                   "  --raw   print control bytes as they are, also on a terminal\n"
                   "\n"
                   "Exit status: 0 every file clean, 1 a problem, 2 a file could not be read.\n"
                   "Example: collect-file check backup.cf\n";
        case Command::sections:
            return "Usage: collect-file sections [--json] [--raw] [FILE]...\n"
                   "Lists each marker line of each FILE (standard input when there is none, or\n"
                   "for -) with its offset and the number of entries after it; several files\n"
                   "each under a ==> FILE <== heading.\n"
                   "\n"
                   "  --json  one JSON document for all files\n"
                   "  --raw   print control bytes as they are, also on a terminal\n"
                   "\n"
                   "Exit status: 0 clean, 1 a problem that check reports, 2 a failure.\n"
                   "Example: collect-file sections backup.cf\n";
        case Command::show:
            return "Usage: collect-file show [--recorded] [--offsets] [--json] [--raw]\n"
                   "                         FILE OFFSET [COUNT]\n"
                   "Prints COUNT lines (1 by default) from the line whose first byte is at\n"
                   "OFFSET, as readers get them: the bytes before a NUL, at most 2,047 of a line\n"
                   "too long; it goes on past such a line. FILE - is standard input, read from\n"
                   "where it stands.\n"
                   "\n"
                   "  --recorded  OFFSET is a value readLine(line, offset) reported: one less\n"
                   "  --offsets   print each line as OFFSET:TEXT\n"
                   "  --json      one JSON document with each line's offset and text\n"
                   "  --raw       print control bytes as they are, also on a terminal\n"
                   "\n"
                   "Exit status: 0 clean, 1 a problem in the lines read, 2 a failure.\n"
                   "Example: collect-file show backup.cf 1024 5\n";
        case Command::entries:
            return "Usage: collect-file entries [--offsets] [--json] [--raw] KIND [FILE]...\n"
                   "Prints the entry lines of every section whose marker is KIND (full, diff or\n"
                   "system), in file order, without the marker lines, of each FILE (standard\n"
                   "input when there is none, or for -); several files each under a ==> FILE <==\n"
                   "heading. The order FILE KIND of version 1.2.0 is still taken.\n"
                   "\n"
                   "  --offsets  print each line as OFFSET:TEXT\n"
                   "  --json     one JSON document with each line's offset and text\n"
                   "  --raw      print control bytes as they are, also on a terminal\n"
                   "\n"
                   "Exit status: 0 clean, 1 a problem that check reports, 2 a failure.\n"
                   "Example: collect-file entries diff backup.cf\n";
        default:
            return helpText();
    }
}

std::string versionText() {
    return "collect-file " + std::to_string(COLLECT_FILE_VERSION_MAJOR) + "." +
           std::to_string(COLLECT_FILE_VERSION_MINOR) + "." +
           std::to_string(COLLECT_FILE_VERSION_PATCH) + "\n";
}

}  // namespace collect_file_tool
