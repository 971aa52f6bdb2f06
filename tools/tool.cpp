#include "commands.h"
#include "status.h"

namespace collect_file_tool {

int runTool(const std::vector<std::string>& args, Console& console, bool terminalOut,
            bool terminalErr) {
    console.escapeErr = terminalErr;
    const Arguments arguments = parseArguments(args);
    if (!arguments.error.empty()) {
        return usageError(console, arguments.error);
    }
    const Options& options = arguments.options;
    if (options.commandHelp) {
        console.out.put(commandHelpText(options.command));
        return kClean;
    }
    console.escapeOut = terminalOut && !options.raw;
    console.escapeErr = terminalErr && !options.raw;
    switch (options.command) {
        case Command::help:
            console.out.put(helpText());
            return kClean;
        case Command::version:
            console.out.put(versionText());
            return kClean;
        case Command::check:
            return check(options, console);
        case Command::sections:
            return sections(options, console);
        case Command::show:
            return show(options, console);
        case Command::entries:
            return entries(options, console);
    }
    return kFailure;
}

}  // namespace collect_file_tool
