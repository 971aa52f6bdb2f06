#include "fault_injector.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

namespace fault_injector {
namespace {

enum class Family { kWrite, kClose, kRead, kSeek, kSync, kStat, kFcntl, kName, kAny };

Family familyOf(Fault fault) {
    switch (fault) {
        case Fault::kCloseError:
            return Family::kClose;
        case Fault::kReadError:
        case Fault::kReadErrorOnward:
        case Fault::kShortRead:
        case Fault::kReadInterrupt:
            return Family::kRead;
        case Fault::kSeekError:
            return Family::kSeek;
        case Fault::kStatError:
            return Family::kStat;
        case Fault::kFcntlError:
            return Family::kFcntl;
        case Fault::kSyncError:
            return Family::kSync;
        case Fault::kNameError:
            return Family::kName;
        case Fault::kKill:
            return Family::kAny;
        default:
            return Family::kWrite;
    }
}

struct Countdown {
    bool armed = false;
    Fault fault = Fault::kError;
    int position = 0;
    int error = 0;
    int calls = 0;  // calls of the fault's family seen while armed
    bool injected = false;
    bool failNext = false;  // the second half of kShortThenError
};
Countdown countdown;
bool unnamedFilesRefused = false;

enum class Action { kPass, kFail, kShort, kInterrupt };

// Whether the armed fault counts a call of family.
bool counts(Family family) {
    if (countdown.fault == Fault::kReadAndSeekErrorOnward) {
        return family == Family::kRead || family == Family::kSeek;
    }
    const Family armed = familyOf(countdown.fault);
    return family == armed || armed == Family::kAny;
}

// Whether the fault fails every call from its position on.
bool onward(Fault fault) {
    return fault == Fault::kReadErrorOnward || fault == Fault::kReadAndSeekErrorOnward;
}

// Counts a call of the given family on fd and says what happens to it.
Action actionFor(int fd, Family family) {
    if (!countdown.armed || fd <= 2 || !counts(family)) {
        return Action::kPass;
    }
    const int index = countdown.calls++;
    if (countdown.failNext) {
        countdown.failNext = false;
        return Action::kFail;
    }
    if (index < countdown.position || (index > countdown.position && !onward(countdown.fault))) {
        return Action::kPass;
    }
    countdown.injected = true;
    switch (countdown.fault) {
        case Fault::kKill:
            raise(SIGKILL);
            return Action::kPass;
        case Fault::kShortThenError:
            countdown.failNext = true;
            return Action::kShort;
        case Fault::kShortWrite:
        case Fault::kShortRead:
            return Action::kShort;
        case Fault::kInterrupt:
        case Fault::kReadInterrupt:
            return Action::kInterrupt;
        default:
            return Action::kFail;
    }
}

// Sets errno and returns true when the action fails the call without doing anything.
bool failsOutright(Action action) {
    if (action == Action::kFail) {
        errno = countdown.error;
        return true;
    }
    if (action == Action::kInterrupt) {
        errno = EINTR;
        return true;
    }
    return false;
}

// Half of n, at least one byte of a non-empty request.
size_t half(size_t n) {
    return std::max<size_t>(n / 2, n > 0 ? 1 : 0);
}

template <class Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

#define COLLECT_FILE_REAL(name, type)                   \
    type real_##name() {                                \
        static const type function = next<type>(#name); \
        return function;                                \
    }
using WriteFunction = ssize_t (*)(int, const void*, size_t);
using WritevFunction = ssize_t (*)(int, const iovec*, int);
using ReadFunction = ssize_t (*)(int, void*, size_t);
using ReadvFunction = ssize_t (*)(int, const iovec*, int);
using PreadFunction = ssize_t (*)(int, void*, size_t, off_t);
using LseekFunction = off_t (*)(int, off_t, int);
using FcloseFunction = int (*)(FILE*);
using FstatFunction = int (*)(int, struct stat*);
using FcntlFunction = int (*)(int, int, ...);
using FsyncFunction = int (*)(int);
using OpenFunction = int (*)(const char*, int, ...);
using OpenatFunction = int (*)(int, const char*, int, ...);
using StatFunction = int (*)(const char*, struct stat*);
using FstatatFunction = int (*)(int, const char*, struct stat*, int);
using FchmodFunction = int (*)(int, mode_t);
using FtruncateFunction = int (*)(int, off_t);
using LinkatFunction = int (*)(int, const char*, int, const char*, int);
using RenameatFunction = int (*)(int, const char*, int, const char*);
using UnlinkatFunction = int (*)(int, const char*, int);
COLLECT_FILE_REAL(write, WriteFunction)
COLLECT_FILE_REAL(writev, WritevFunction)
COLLECT_FILE_REAL(read, ReadFunction)
COLLECT_FILE_REAL(readv, ReadvFunction)
COLLECT_FILE_REAL(pread, PreadFunction)
COLLECT_FILE_REAL(lseek, LseekFunction)
COLLECT_FILE_REAL(fclose, FcloseFunction)
COLLECT_FILE_REAL(fstat, FstatFunction)
COLLECT_FILE_REAL(fcntl, FcntlFunction)
COLLECT_FILE_REAL(fsync, FsyncFunction)
COLLECT_FILE_REAL(fdatasync, FsyncFunction)
COLLECT_FILE_REAL(open, OpenFunction)
COLLECT_FILE_REAL(openat, OpenatFunction)
COLLECT_FILE_REAL(stat, StatFunction)
COLLECT_FILE_REAL(fstatat, FstatatFunction)
COLLECT_FILE_REAL(fchmod, FchmodFunction)
COLLECT_FILE_REAL(ftruncate, FtruncateFunction)
COLLECT_FILE_REAL(linkat, LinkatFunction)
COLLECT_FILE_REAL(renameat, RenameatFunction)
COLLECT_FILE_REAL(unlinkat, UnlinkatFunction)
#undef COLLECT_FILE_REAL

const char* const kNames[] = {"error",
                              "short write",
                              "short write, then error",
                              "EINTR",
                              "failing close",
                              "read error",
                              "read error onward",
                              "short read",
                              "read EINTR",
                              "seek error",
                              "fsync error",
                              "fstat error",
                              "fcntl error",
                              "name call error",
                              "kill",
                              "read and seek error onward"};

}  // namespace

const char* nameOf(Fault fault) {
    return kNames[static_cast<int>(fault)];
}

bool fromName(const char* name, Fault& fault) {
    for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
        if (strcmp(name, kNames[i]) == 0) {
            fault = static_cast<Fault>(i);
            return true;
        }
    }
    return false;
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

int callsSeen() {
    return countdown.calls;
}

void refuseUnnamedFiles(bool refuse) {
    unnamedFilesRefused = refuse;
}

}  // namespace fault_injector

using fault_injector::Action;
using fault_injector::actionFor;
using fault_injector::failsOutright;
using fault_injector::Family;
using fault_injector::half;

// One piece through writev, which counts the call and shortens or fails it.
extern "C" ssize_t write(int fd, const void* bytes, size_t n) {
    const iovec piece = {const_cast<void*>(bytes), n};
    return writev(fd, &piece, 1);
}

extern "C" ssize_t writev(int fd, const iovec* pieces, int count) {
    const Action action = actionFor(fd, Family::kWrite);
    if (failsOutright(action)) {
        return -1;
    }
    if (action == Action::kPass) {
        return fault_injector::real_writev()(fd, pieces, count);
    }
    // Half of the bytes, at least one, written piece by piece.
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
        total += pieces[i].iov_len;
    }
    size_t left = half(total);
    ssize_t written = 0;
    for (int i = 0; i < count && left > 0; ++i) {
        const size_t n = std::min(left, pieces[i].iov_len);
        const ssize_t done = fault_injector::real_write()(fd, pieces[i].iov_base, n);
        if (done < 0) {
            return written > 0 ? written : done;
        }
        written += done;
        left -= n;
    }
    return written;
}

// One piece through readv, which counts the call and shortens or fails it.
extern "C" ssize_t read(int fd, void* bytes, size_t n) {
    const iovec piece = {bytes, n};
    return readv(fd, &piece, 1);
}

extern "C" ssize_t readv(int fd, const iovec* pieces, int count) {
    const Action action = actionFor(fd, Family::kRead);
    if (failsOutright(action)) {
        return -1;
    }
    if (action == Action::kShort && count > 0) {
        // The first piece's half, at least one byte.
        return fault_injector::real_read()(fd, pieces[0].iov_base, half(pieces[0].iov_len));
    }
    return fault_injector::real_readv()(fd, pieces, count);
}

extern "C" ssize_t pread(int fd, void* bytes, size_t n, off_t offset) {
    const Action action = actionFor(fd, Family::kRead);
    if (failsOutright(action)) {
        return -1;
    }
    return fault_injector::real_pread()(fd, bytes, action == Action::kShort ? half(n) : n, offset);
}

extern "C" ssize_t pread64(int fd, void* bytes, size_t n, off_t offset) {
    return pread(fd, bytes, n, offset);
}

extern "C" off_t lseek(int fd, off_t offset, int whence) {
    if (failsOutright(actionFor(fd, Family::kSeek))) {
        return -1;
    }
    return fault_injector::real_lseek()(fd, offset, whence);
}

extern "C" off_t lseek64(int fd, off_t offset, int whence) {
    return lseek(fd, offset, whence);
}

extern "C" int fclose(FILE* file) {
    const Action action = actionFor(fileno(file), Family::kClose);
    const int result = fault_injector::real_fclose()(file);
    if (action == Action::kFail) {
        errno = fault_injector::countdown.error;
        return EOF;
    }
    return result;
}

extern "C" int fsync(int fd) {
    if (failsOutright(actionFor(fd, Family::kSync))) {
        return -1;
    }
    return fault_injector::real_fsync()(fd);
}

extern "C" int fdatasync(int fd) {
    if (failsOutright(actionFor(fd, Family::kSync))) {
        return -1;
    }
    return fault_injector::real_fdatasync()(fd);
}

extern "C" int fstat(int fd, struct stat* status) {
    if (failsOutright(actionFor(fd, Family::kStat))) {
        return -1;
    }
    return fault_injector::real_fstat()(fd, status);
}

extern "C" int fstat64(int fd, struct stat64* status) {
    return fstat(fd, reinterpret_cast<struct stat*>(status));
}

// Every command's third argument, where it has one, is an int or a pointer: passed on as a
// pointer-sized value.
extern "C" int fcntl(int fd, int command, ...) {
    va_list arguments;
    va_start(arguments, command);
    void* const argument = va_arg(arguments, void*);
    va_end(arguments);
    if (failsOutright(actionFor(fd, Family::kFcntl))) {
        return -1;
    }
    return fault_injector::real_fcntl()(fd, command, argument);
}

extern "C" int fcntl64(int fd, int command, ...) {
    va_list arguments;
    va_start(arguments, command);
    void* const argument = va_arg(arguments, void*);
    va_end(arguments);
    return fcntl(fd, command, argument);
}

// The calls on names (the library names none of their 64-bit forms): each counts as a call on
// a descriptor above 2, whatever it names.
namespace fault_injector {
namespace {
bool nameCallFails() {
    return failsOutright(actionFor(3, Family::kName));
}
// The mode argument of open and openat, where the flags say there is one.
mode_t modeOf(int flags, va_list arguments) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(arguments, mode_t)
                                                                      : 0;
}
}  // namespace
}  // namespace fault_injector

using fault_injector::nameCallFails;

extern "C" int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = fault_injector::modeOf(flags, arguments);
    va_end(arguments);
    return nameCallFails() ? -1 : fault_injector::real_open()(path, flags, mode);
}

extern "C" int openat(int folder, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = fault_injector::modeOf(flags, arguments);
    va_end(arguments);
    if (nameCallFails()) {
        return -1;
    }
    if (fault_injector::unnamedFilesRefused && (flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return fault_injector::real_openat()(folder, path, flags, mode);
}

extern "C" int stat(const char* path, struct stat* status) {
    return nameCallFails() ? -1 : fault_injector::real_stat()(path, status);
}

extern "C" int fstatat(int folder, const char* path, struct stat* status, int flags) {
    return nameCallFails() ? -1 : fault_injector::real_fstatat()(folder, path, status, flags);
}

extern "C" int fchmod(int fd, mode_t mode) {
    return nameCallFails() ? -1 : fault_injector::real_fchmod()(fd, mode);
}

extern "C" int ftruncate(int fd, off_t size) {
    return nameCallFails() ? -1 : fault_injector::real_ftruncate()(fd, size);
}

extern "C" int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
    return nameCallFails() ? -1
                           : fault_injector::real_linkat()(fromFolder, from, toFolder, to, flags);
}

extern "C" int renameat(int fromFolder, const char* from, int toFolder, const char* to) {
    return nameCallFails() ? -1 : fault_injector::real_renameat()(fromFolder, from, toFolder, to);
}

extern "C" int unlinkat(int folder, const char* path, int flags) {
    return nameCallFails() ? -1 : fault_injector::real_unlinkat()(folder, path, flags);
}
