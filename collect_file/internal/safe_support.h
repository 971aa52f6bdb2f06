// Helpers shared by the safe interface's writer and reader (writer.cpp, reader.cpp). Not
// installed.

#ifndef COLLECT_FILE_INTERNAL_SAFE_SUPPORT_H
#define COLLECT_FILE_INTERNAL_SAFE_SUPPORT_H

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <system_error>

namespace collect_file::detail {

// EINVAL for a path that holds a NUL byte, which the system would cut there and so name another
// file; empty otherwise.
inline std::error_code refusePathWithNul(const std::string& path) {
    return path.find('\0') != std::string::npos ? std::make_error_code(std::errc::invalid_argument)
                                                : std::error_code();
}

// The error of the system call that just failed; EIO when it left no errno.
inline std::error_code systemError(int error) {
    return std::error_code(error != 0 ? error : EIO, std::generic_category());
}

inline std::error_code lastSystemError() {
    return systemError(errno);
}

// Closes fd if it is open, and marks it closed.
inline void closeDescriptor(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// A path's folder and the name within it; name is empty for a path that ends with '/'.
inline void splitPath(const std::string& path, std::string& folder, std::string& name) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        folder = ".";
        name = path;
    } else {
        folder = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

}  // namespace collect_file::detail

#endif  // COLLECT_FILE_INTERNAL_SAFE_SUPPORT_H
