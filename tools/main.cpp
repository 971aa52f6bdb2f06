// collect-file: checks collect files and shows what their readers get. Lines are read through
// the library's public interface, so the tool sees a file as a client program does. The manual
// page, docs/collect-file.1, is the reference for everything printed.

#include <unistd.h>

#include <cstring>

#include "commands.h"
#include "status.h"

int main(int argc, char** argv) {
    using namespace collect_file_tool;
    Output out(STDOUT_FILENO);
    Console console{out};
    const int status = runTool(std::vector<std::string>(argv + 1, argv + argc), console,
                               isatty(STDOUT_FILENO) != 0, isatty(STDERR_FILENO) != 0);
    if (const int error = out.finish()) {
        say(console, std::string("write error: ") + std::strerror(error));
        return kFailure;
    }
    return status;
}
