// The one place that reaches into the standard library's file buffer. Not installed.
//
// Two tricks, each with a plain fallback:
// - The get area (eback, gptr, egptr) is a protected part of every std::streambuf. A class
//   derived from it forms pointers to those members, which then apply to any stream buffer, so
//   lines are read straight out of the buffer's array. This is standard C++ and works with any
//   library.
// - libstdc++'s basic_filebuf keeps its C file in the protected member _M_file, whose fd() gives
//   the descriptor; reads _M_buf_size - 1 bytes per refill; and marks a buffer that holds bytes
//   read from the file with _M_reading. Reaching them lets the library write through the
//   descriptor, make a refill small, fill the buffer itself with one pread(2), and open the file
//   close-on-exec from the start (fopen's "e" flag), handing the C file to the buffer as its own.
//   Other standard libraries (libc++) keep theirs private: kDescriptorKnown is then false, the
//   descriptor is unknown (-1), refills always take a whole buffer, the buffer is only filled by
//   the stream, and files are opened by the stream as a plain std::fstream opens them.

#ifndef COLLECT_FILE_INTERNAL_STREAM_BUFFER_H
#define COLLECT_FILE_INTERNAL_STREAM_BUFFER_H

#include <cstddef>
#include <cstdio>
#include <fstream>
#include <streambuf>

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

const bool kDescriptorKnown = true;

// The flag that makes libstdc++'s C file wrapper close the file it holds is private; an explicit
// instantiation may name a private member (access is not checked there), and hands a pointer to
// it out through a friend. This header is included by one source file of the library only.
bool std::__basic_file<char>::*ownsFileFlag();
template <bool std::__basic_file<char>::*Member>
struct OwnsFileFlag {
    friend bool std::__basic_file<char>::*ownsFileFlag() { return Member; }
};
template struct OwnsFileFlag<&std::__basic_file<char>::_M_cfile_created>;

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
    // What std::filebuf::open does once its C file is open, for a C file opened by the caller,
    // which the buffer then owns and closes. False, the file closed, when the buffer refused it.
    static bool adopt(std::filebuf* buffer, std::FILE* file, std::ios_base::openmode mode) {
        std::__basic_file<char>& wrapper = buffer->*&FileBufferAccess::_M_file;
        if (wrapper.sys_open(file, mode) == nullptr) {
            std::fclose(file);
            return false;
        }
        wrapper.*ownsFileFlag() = true;
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
// would, with the descriptor close-on-exec from the open on: no fcntl(2) follows, and no child
// started with exec from another thread meanwhile can inherit it. False when it did not open.
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

const bool kDescriptorKnown = false;

// The stream opens the file itself; its descriptor is unknown and stays inheritable.
inline bool openCloseOnExec(std::filebuf* buffer, const char* path, std::ios_base::openmode mode) {
    return buffer->open(path, mode) != nullptr;
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
