#include "fault_injector.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

namespace fault_injector {
namespace {

struct Countdown {
    bool armed = false;
    Fault fault = Fault::kError;
    int position = 0;
    int error = 0;
    int calls = 0;  // calls of the fault's kind seen while armed
    bool injected = false;
    bool failNext = false;  // the second half of kShortThenError
};
Countdown countdown;

enum class Action { kPass, kFail, kShort, kInterrupt };

// Counts a call of the given kind on fd and says what happens to it.
Action actionFor(int fd, bool isClose) {
    if (!countdown.armed || fd <= 2 || isClose != (countdown.fault == Fault::kCloseError)) {
        return Action::kPass;
    }
    const int index = countdown.calls++;
    if (countdown.failNext) {
        countdown.failNext = false;
        return Action::kFail;
    }
    if (index != countdown.position) {
        return Action::kPass;
    }
    countdown.injected = true;
    switch (countdown.fault) {
        case Fault::kShortThenError:
            countdown.failNext = true;
            return Action::kShort;
        case Fault::kShortWrite:
            return Action::kShort;
        case Fault::kInterrupt:
            return Action::kInterrupt;
        case Fault::kError:
        case Fault::kCloseError:
            break;
    }
    return Action::kFail;
}

template <class Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using WriteFunction = ssize_t (*)(int, const void*, size_t);
using WritevFunction = ssize_t (*)(int, const iovec*, int);
using FcloseFunction = int (*)(FILE*);

WriteFunction realWrite() {
    static const WriteFunction function = next<WriteFunction>("write");
    return function;
}

WritevFunction realWritev() {
    static const WritevFunction function = next<WritevFunction>("writev");
    return function;
}

}  // namespace

const char* nameOf(Fault fault) {
    switch (fault) {
        case Fault::kError:
            return "error";
        case Fault::kShortWrite:
            return "short write";
        case Fault::kShortThenError:
            return "short write, then error";
        case Fault::kInterrupt:
            return "EINTR";
        case Fault::kCloseError:
            return "failing close";
    }
    return "?";
}

void arm(Fault fault, int position, int error) {
    countdown = Countdown();
    countdown.armed = true;
    countdown.fault = fault;
    countdown.position = position;
    countdown.error = error;
}

bool disarm() {
    countdown.armed = false;
    return countdown.injected;
}

}  // namespace fault_injector

using fault_injector::Action;
using fault_injector::actionFor;

namespace {

// Sets errno and returns true when the action fails the call without writing anything.
bool failsWithoutWriting(Action action) {
    if (action == Action::kFail) {
        errno = fault_injector::countdown.error;
        return true;
    }
    if (action == Action::kInterrupt) {
        errno = EINTR;
        return true;
    }
    return false;
}

}  // namespace

extern "C" ssize_t write(int fd, const void* bytes, size_t n) {
    const Action action = actionFor(fd, false);
    if (failsWithoutWriting(action)) {
        return -1;
    }
    if (action == Action::kShort) {
        n = std::max<size_t>(n / 2, n > 0 ? 1 : 0);
    }
    return fault_injector::realWrite()(fd, bytes, n);
}

extern "C" ssize_t writev(int fd, const iovec* pieces, int count) {
    const Action action = actionFor(fd, false);
    if (failsWithoutWriting(action)) {
        return -1;
    }
    if (action == Action::kPass) {
        return fault_injector::realWritev()(fd, pieces, count);
    }
    // Half of the bytes, at least one: the first piece's share of it is enough.
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
        total += pieces[i].iov_len;
    }
    size_t half = std::max<size_t>(total / 2, total > 0 ? 1 : 0);
    ssize_t written = 0;
    for (int i = 0; i < count && half > 0; ++i) {
        const size_t n = std::min(half, pieces[i].iov_len);
        const ssize_t done = fault_injector::realWrite()(fd, pieces[i].iov_base, n);
        if (done < 0) {
            return written > 0 ? written : done;
        }
        written += done;
        half -= n;
    }
    return written;
}

extern "C" int fclose(FILE* file) {
    static const fault_injector::FcloseFunction realFclose =
        fault_injector::next<fault_injector::FcloseFunction>("fclose");
    const Action action = actionFor(fileno(file), true);
    const int result = realFclose(file);
    if (action == Action::kFail) {
        errno = fault_injector::countdown.error;
        return EOF;
    }
    return result;
}
