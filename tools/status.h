// The tool's exit statuses, one rule for every command: the worst of what happened to any
// input decides.

#ifndef COLLECT_FILE_TOOL_STATUS_H
#define COLLECT_FILE_TOOL_STATUS_H

namespace collect_file_tool {

const int kClean = 0;    // every input read to its end (or as far as asked), no problem
const int kProblem = 1;  // an input has a problem that `check` reports
const int kFailure = 2;  // an input cannot be opened or read, output failed, or a wrong
                         // command line

// The worse of two statuses.
inline int worse(int a, int b) {
    return a > b ? a : b;
}

}  // namespace collect_file_tool

#endif
