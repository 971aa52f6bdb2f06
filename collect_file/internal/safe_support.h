// Helpers shared by the safe interface's writer and reader (writer.cpp, reader.cpp). Not
// installed.

#ifndef COLLECT_FILE_INTERNAL_SAFE_SUPPORT_H
#define COLLECT_FILE_INTERNAL_SAFE_SUPPORT_H

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <optional>
#include <string>
#include <system_error>

#include "collect_file/CollectFileReaderWriter.h"

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

// The path that reopens descriptor fd, the same file even after a rename.
inline std::string descriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// Opens the class's object on the file behind fd (through /proc/self/fd, or by `path` on a system
// without /proc). Sets source to the path that worked.
inline std::error_code openCore(std::optional<CollectFileReaderWriter>& core, int fd,
                                const std::string& path, AccessMode mode, std::string& source) {
    core.emplace();
    source = descriptorPath(fd);
    if (core->OpenFile(source, mode)) {
        return {};
    }
    const int error = errno;
    if (error == ENOENT && access("/proc/self/fd", F_OK) != 0 && core->OpenFile(path, mode)) {
        source = path;
        return {};
    }
    core.reset();
    return systemError(error);
}

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
