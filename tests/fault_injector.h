#ifndef COLLECT_FILE_TESTS_FAULT_INJECTOR_H
#define COLLECT_FILE_TESTS_FAULT_INJECTOR_H

// Countdown fault injection over the system calls that read, write, position and close files.
// The test executable defines read, readv, pread, lseek, write, writev, fclose, fsync,
// fdatasync, fstat, fcntl and the calls of kNameError itself, so its definitions take the place of
// the C library's for the library under test and for the standard library alike
// (tests/fault_preload.cpp does the same for another program, through LD_PRELOAD). While armed, the
// calls of the fault's family on descriptors above 2 are counted from 0, and the call numbered
// `position` fails as the fault says. Disarmed, every call goes straight to the C library.
namespace fault_injector {

enum class Fault {
    // write and writev
    kError,           // the call fails with the given errno and writes nothing
    kShortWrite,      // the call writes only the first half of its bytes
    kShortThenError,  // the call writes the first half, the next one fails with the errno
    kInterrupt,       // the call fails with EINTR and writes nothing
    // fclose
    kCloseError,  // fclose closes the file, then reports failure with the errno
    // read, readv and pread
    kReadError,        // the call fails with the errno and reads nothing
    kReadErrorOnward,  // this call and every later one fail with the errno (a bad disk)
    kShortRead,        // the call reads only the first half of what it asks for
    kReadInterrupt,    // the call fails with EINTR and reads nothing
    // lseek
    kSeekError,  // the call fails with the errno and moves nothing
    // fsync and fdatasync
    kSyncError,  // the call fails with the errno
    // fstat
    kStatError,  // the call fails with the errno
    // fcntl
    kFcntlError,  // the call fails with the errno and changes nothing
    // open, openat, stat, fstatat, fchmod, ftruncate, linkat, renameat and unlinkat, on any
    // descriptor or path
    kNameError,  // the call fails with the errno and changes nothing
    // every call of every family above
    kKill,  // the process gets SIGKILL at the call, before the call is made
    // read, readv, pread and lseek, counted together
    kReadAndSeekErrorOnward,  // this call and every later one fail with the errno (a lost disk)
};

const char* nameOf(Fault fault);
// The fault whose nameOf() is name; false when there is none.
bool fromName(const char* name, Fault& fault);

void arm(Fault fault, int position, int error);
// Disarms the injector; returns whether the fault was injected since arm().
bool disarm();
// Calls of the armed fault's family counted since arm().
int callsSeen();

// While set, openat with O_TMPFILE fails with EOPNOTSUPP, as on a file system without unnamed
// files; armed or not.
void refuseUnnamedFiles(bool refuse);

}  // namespace fault_injector

#endif  // COLLECT_FILE_TESTS_FAULT_INJECTOR_H
