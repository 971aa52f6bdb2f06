// The one place that reaches into the standard library's file buffer. Not installed.
//
// Only what the standard library lets any caller or derived class see:
// - The get area (eback, gptr, egptr) is a protected part of every std::streambuf. A class
//   derived from it forms pointers to those members, which then apply to any stream buffer, so
//   lines are read straight out of the buffer's array. This is standard C++ and works with any
//   library.
// - Every file is opened here close-on-exec from the open itself on, so no child started with
//   exec, not even one forked by another thread during OpenFile, inherits it, and handed to the
//   buffer through a public call: with libstdc++ a C file opened with fopen(3)'s "e" flag goes to
//   the public sys_open(FILE*, openmode) of the buffer's C file wrapper, which does not own such a
//   file, so closeFile() closes it after the buffer; with libc++ a descriptor opened with
//   O_CLOEXEC goes to its basic_filebuf's public __open(int, openmode), which owns it.
// - libstdc++'s basic_filebuf keeps its C file wrapper in the protected member _M_file, whose
//   fd() gives the descriptor; reads _M_buf_size - 1 bytes per refill; and marks a buffer that
//   holds bytes read from the file with _M_reading, all protected. Reaching them lets the library
//   write through the descriptor, make a refill small, and fill the buffer itself with one
//   pread(2). libc++ keeps its file buffer's state private: kDescriptorKnown is then false, the
//   descriptor is unknown (-1), refills always take a whole buffer, and the buffer is only filled
//   by the stream.

#ifndef COLLECT_FILE_INTERNAL_STREAM_BUFFER_H
#define COLLECT_FILE_INTERNAL_STREAM_BUFFER_H

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <fstream>
#include <streambuf>
#include <type_traits>
#include <utility>

namespace collect_file_internal {

// The get area of any stream buffer: [begin, end) holds bytes read from the file, next is the
// next one to deliver.
struct GetArea : std::streambuf {
    static char* begin(std::streambuf* buffer) { return (buffer->*&GetArea::eback)(); }
    static char* next(std::streambuf* buffer) { return (buffer->*&GetArea::gptr)(); }
    static char* end(std::streambuf* buffer) { return (buffer->*&GetArea::egptr)(); }
    static size_t available(std::streambuf* buffer) {
        return static_cast<size_t>(end(buffer) - next(buffer));
    }
    // Marks n more bytes delivered; n <= available().
    static void consume(std::streambuf* buffer, size_t n) {
        (buffer->*&GetArea::gbump)(static_cast<int>(n));
    }
    // Moves the next byte to deliver to `next`, within [begin, end].
    static void moveTo(std::streambuf* buffer, char* next) {
        (buffer->*&GetArea::setg)(begin(buffer), next, end(buffer));
    }
};

#if defined(__GLIBCXX__)

// Whether the library knows the stream's descriptor (the tests read it from here too).
constexpr bool kDescriptorKnown = true;

struct FileBufferAccess : std::filebuf {
    static int descriptor(std::filebuf* buffer) {
        return (buffer->*&FileBufferAccess::_M_file).fd();
    }
    static size_t& bufferSize(std::filebuf* buffer) {
        return buffer->*&FileBufferAccess::_M_buf_size;
    }
    // Makes the buffer hold, as a refill would have, the n bytes (n > 0) that the caller has
    // just read into its array from the file, with none of them delivered yet.
    static void holdRead(std::filebuf* buffer, size_t n) {
        (buffer->*&FileBufferAccess::_M_destroy_pback)();
        buffer->*& FileBufferAccess::_M_writing = false;
        (buffer->*&FileBufferAccess::_M_set_buffer)(static_cast<std::streamsize>(n));
        buffer->*& FileBufferAccess::_M_reading = true;
    }
    static char* array(std::filebuf* buffer) { return buffer->*&FileBufferAccess::_M_buf; }
    // The C file the buffer's wrapper holds, or null.
    static std::FILE* file(std::filebuf* buffer) {
        return (buffer->*&FileBufferAccess::_M_file).file();
    }
    // What std::filebuf::open does once it has opened its C file, for one the caller opened; the
    // wrapper does not own it. False, the file closed, when the wrapper refused it.
    static bool adopt(std::filebuf* buffer, std::FILE* file, std::ios_base::openmode mode) {
        if ((buffer->*&FileBufferAccess::_M_file).sys_open(file, mode) == nullptr) {
            std::fclose(file);
            return false;
        }
        (buffer->*&FileBufferAccess::_M_allocate_internal_buffer)();
        buffer->*& FileBufferAccess::_M_mode = mode;
        buffer->*& FileBufferAccess::_M_reading = false;
        buffer->*& FileBufferAccess::_M_writing = false;
        (buffer->*&FileBufferAccess::_M_set_buffer)(-1);
        buffer->*& FileBufferAccess::_M_state_last = buffer->*&FileBufferAccess::_M_state_beg;
        buffer->*& FileBufferAccess::_M_state_cur = buffer->*&FileBufferAccess::_M_state_beg;
        return true;
    }
};

// Opens path on a closed buffer in mode (in, out, or out | app), as buffer->open(path, mode)
// would, with the descriptor close-on-exec from the open on (fopen's "e" flag): no fcntl(2)
// follows. False when it did not open. Close it with closeFile().
inline bool openCloseOnExec(std::filebuf* buffer, const char* path, std::ios_base::openmode mode) {
    const char* const fopenMode = mode == std::ios_base::in                           ? "re"
                                  : mode == std::ios_base::out                        ? "we"
                                  : mode == (std::ios_base::out | std::ios_base::app) ? "ae"
                                                                                      : nullptr;
    if (fopenMode == nullptr || buffer->is_open()) {
        return false;
    }
    std::FILE* const file = std::fopen(path, fopenMode);
    return file != nullptr && FileBufferAccess::adopt(buffer, file, mode);
}

// Closes the buffer, then the C file that openCloseOnExec() handed it. False when the buffer was
// not open, or when closing it or the file failed.
inline bool closeFile(std::filebuf* buffer) {
    std::FILE* const file = FileBufferAccess::file(buffer);
    const bool closed = buffer->close() != nullptr;
    return (file == nullptr || std::fclose(file) == 0) && closed;
}

// The file buffer's descriptor, or -1 when it has none.
inline int descriptorOf(std::filebuf* buffer) {
    return buffer->is_open() ? FileBufferAccess::descriptor(buffer) : -1;
}
// Bytes the next refill reads.
inline size_t refillSize(std::filebuf* buffer) {
    return FileBufferAccess::bufferSize(buffer) - 1;
}
// Makes the next refills read `bytes` bytes, at most the buffer's size less one.
inline void setRefillSize(std::filebuf* buffer, size_t bytes) {
    FileBufferAccess::bufferSize(buffer) = bytes + 1;
}
// The array the buffer reads into, for a caller that fills it (see holdRead).
inline char* readArray(std::filebuf* buffer) {
    return FileBufferAccess::array(buffer);
}
inline void holdRead(std::filebuf* buffer, size_t n) {
    FileBufferAccess::holdRead(buffer, n);
}

#else

constexpr bool kDescriptorKnown = false;

// The permissions a new file is created with, before the process's umask: what fopen(3) and
// a plain std::fstream give it.
const mode_t kNewFileMode = 0666;

// Opens path with the open(2) flags that the stream's mode (in, out, or out | app) means, as
// fopen(3) would, close-on-exec. -1 when it did not open or the mode is none of those three.
inline int openDescriptor(const char* path, std::ios_base::openmode mode) {
    int flags = -1;
    if (mode == std::ios_base::in) {
        flags = O_RDONLY;
    } else if (mode == std::ios_base::out) {
        flags = O_WRONLY | O_CREAT | O_TRUNC;
    } else if (mode == (std::ios_base::out | std::ios_base::app)) {
        flags = O_WRONLY | O_CREAT | O_APPEND;
    }
    if (flags == -1) {
        return -1;
    }
    int descriptor = -1;
    do {
        descriptor = ::open(path, flags | O_CLOEXEC, kNewFileMode);
    } while (descriptor < 0 && errno == EINTR);
    return descriptor;
}

// Whether the file buffer takes a descriptor: libc++'s public basic_filebuf::__open(int,
// openmode), looked for rather than assumed, as it is outside the standard.
template <class Buffer, class = void>
struct TakesDescriptor : std::false_type {};
template <class Buffer>
struct TakesDescriptor<Buffer, decltype(void(std::declval<Buffer&>().__open(0, std::ios_base::in)))>
    : std::true_type {};

// Opens path on a closed buffer in mode, close-on-exec from the open on where the buffer takes
// a descriptor; otherwise as a plain std::fstream opens it, inheritable (the close-on-exec test
// then fails). False when it did not open.
template <class Buffer>
bool openCloseOnExec(Buffer* buffer, const char* path, std::ios_base::openmode mode) {
    if constexpr (TakesDescriptor<Buffer>::value) {
        if (buffer->is_open()) {
            return false;
        }
        const int descriptor = openDescriptor(path, mode);
        if (descriptor < 0) {
            return false;
        }
        if (buffer->__open(descriptor, mode) == nullptr) {
            ::close(descriptor);
            return false;
        }
        return true;
    } else {
        return buffer->open(path, mode) != nullptr;
    }
}

// Closes the buffer, and with it the file it owns. False when it was not open or closing failed.
inline bool closeFile(std::filebuf* buffer) {
    return buffer->close() != nullptr;
}

inline int descriptorOf(std::filebuf* /*buffer*/) {
    return -1;
}
inline size_t refillSize(std::filebuf* /*buffer*/) {
    return 0;  // unknown: the stream decides
}
inline void setRefillSize(std::filebuf* /*buffer*/, size_t /*bytes*/) {}
inline char* readArray(std::filebuf* /*buffer*/) {
    return nullptr;
}
inline void holdRead(std::filebuf* /*buffer*/, size_t /*n*/) {}

#endif

}  // namespace collect_file_internal

#endif  // COLLECT_FILE_INTERNAL_STREAM_BUFFER_H
