// How Writer::create keeps its new file private: the way commit() will name an unnamed file,
// the umask for a named one, and the temporary names. Not installed.

#ifndef COLLECT_FILE_INTERNAL_NEW_FILE_H
#define COLLECT_FILE_INTERNAL_NEW_FILE_H

#include <errno.h>
#include <limits.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

namespace collect_file_internal {

// How commit() gives create()'s unnamed temporary file a name, decided at create().
enum class LinkRoute {
    none,       // no way: create() makes a named temporary file instead
    emptyPath,  // linkat(fd, "", AT_EMPTY_PATH), which needs CAP_DAC_READ_SEARCH
    procFd,     // linkat("/proc/self/fd/N", AT_SYMLINK_FOLLOW), where /proc is mounted
};

inline LinkRoute linkRoute() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) == 0 &&
        (data[0].effective & (1u << CAP_DAC_READ_SEARCH)) != 0) {
        return LinkRoute::emptyPath;
    }
    return ::access("/proc/self/fd", X_OK) == 0 ? LinkRoute::procFd : LinkRoute::none;
}

// The process's umask. There is no call that only reads it: it is set to 0077 and back, so that
// a file another thread creates in between is at worst more private than it asked for.
inline mode_t currentUmask() {
    const mode_t mask = ::umask(0077);
    ::umask(mask);
    return mask;
}

// A fresh name for a temporary file beside `name`: "." + name + ".tmp-" + process, count and
// time. When that would pass NAME_MAX, a hash of the name takes its place.
inline std::string temporaryNameFor(const std::string& name) {
    static std::atomic<unsigned> count{0};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::string suffix = ".tmp-" + std::to_string(getpid()) + "-" +
                               std::to_string(count.fetch_add(1)) + "-" +
                               std::to_string(now.tv_nsec);
    if (1 + name.size() + suffix.size() <= NAME_MAX) {
        return "." + name + suffix;
    }
    uint64_t hash = 14695981039346656037u;  // FNV-1a
    for (const char c : name) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
    }
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return "." + std::string(hex) + suffix;
}

// Retries a call that fails with EEXIST under a fresh temporary name, 100 times at most.
template <class Call>
inline int underFreshName(const std::string& name, std::string& chosen, Call call) {
    for (int attempt = 0;; ++attempt) {
        chosen = temporaryNameFor(name);
        const int result = call(chosen.c_str());
        if (result >= 0 || errno != EEXIST || attempt >= 100) {
            return result;
        }
    }
}

}  // namespace collect_file_internal

#endif  // COLLECT_FILE_INTERNAL_NEW_FILE_H
