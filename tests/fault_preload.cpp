// Arms the fault injector in another program, loaded with LD_PRELOAD: the environment variable
// COLLECT_FILE_FAULT holds "NAME:POSITION:ERRNO", NAME as fault_injector::nameOf gives it. When
// COLLECT_FILE_FAULT_REPORT names a file, the program's exit writes into it the number of calls
// counted, followed by " injected" when the fault was injected.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "fault_injector.h"

namespace {

__attribute__((constructor)) void armFromEnvironment() {
    const char* armed = getenv("COLLECT_FILE_FAULT");
    if (armed == nullptr) {
        return;
    }
    const std::string text = armed;
    const size_t first = text.find(':');
    const size_t second = text.find(':', first + 1);
    fault_injector::Fault fault;
    if (first == std::string::npos || second == std::string::npos ||
        !fault_injector::fromName(text.substr(0, first).c_str(), fault)) {
        abort();  // a test wrote a malformed fault
    }
    fault_injector::arm(fault, atoi(text.c_str() + first + 1), atoi(text.c_str() + second + 1));
}

__attribute__((destructor)) void reportAtExit() {
    const char* path = getenv("COLLECT_FILE_FAULT_REPORT");
    if (path == nullptr) {
        return;
    }
    const int calls = fault_injector::callsSeen();
    const std::string report =
        std::to_string(calls) + (fault_injector::disarm() ? " injected\n" : "\n");
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        (void)!write(fd, report.data(), report.size());
        close(fd);
    }
}

}  // namespace
