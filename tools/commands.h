// The commands. Each reads its inputs, writes its report to console.out and its complaints to
// standard error, and returns the exit status: the worst over its inputs (see status.h).

#ifndef COLLECT_FILE_TOOL_COMMANDS_H
#define COLLECT_FILE_TOOL_COMMANDS_H

#include <string>
#include <vector>

#include "arguments.h"
#include "output.h"

namespace collect_file_tool {

int check(const Options& options, Console& console);
int sections(const Options& options, Console& console);
int show(const Options& options, Console& console);
int entries(const Options& options, Console& console);

// The whole tool for the arguments after its name: parses them, sets console's escaping
// (`terminalOut`, `terminalErr`: whether the streams are terminals) unless --raw, runs the
// command. console.out is left for the caller to finish.
int runTool(const std::vector<std::string>& args, Console& console, bool terminalOut,
            bool terminalErr);

}  // namespace collect_file_tool

#endif
