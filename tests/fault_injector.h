#ifndef COLLECT_FILE_TESTS_FAULT_INJECTOR_H
#define COLLECT_FILE_TESTS_FAULT_INJECTOR_H

// Countdown fault injection over the system calls that write and close files. The test
// executable defines write, writev and fclose itself, so its definitions take the place of the C
// library's for the library under test and for the standard library alike. While armed, the
// calls on descriptors above 2 are counted from 0, and the call numbered `position` among those
// the fault concerns (write and writev for the write faults, fclose for kCloseError) fails as
// the fault says. Disarmed, every call goes straight to the C library.
namespace fault_injector {

enum class Fault {
    kError,           // the call fails with the given errno and writes nothing
    kShortWrite,      // the call writes only the first half of its bytes
    kShortThenError,  // the call writes the first half, the next one fails with the errno
    kInterrupt,       // the call fails with EINTR and writes nothing
    kCloseError,      // fclose closes the file, then reports failure with the errno
};

const char* nameOf(Fault fault);

void arm(Fault fault, int position, int error);
// Disarms the injector; returns whether the fault was injected since arm().
bool disarm();

}  // namespace fault_injector

#endif  // COLLECT_FILE_TESTS_FAULT_INJECTOR_H
