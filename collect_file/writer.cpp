// collect_file::Writer: a new file that replaces its path at commit(), or lines added at a
// file's end.

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <optional>

#include "collect_file/collect_file.h"
#include "collect_file/internal/class_access.h"
#include "collect_file/internal/line_scan.h"
#include "collect_file/internal/safe_support.h"

using collect_file_internal::ClassAccess;

namespace collect_file {

using namespace detail;

struct __attribute__((visibility("hidden"))) Writer::State {
    std::optional<CollectFileReaderWriter> core;
    int fd = -1;      // the file written: the temporary file of create(), or the appended one
    int folder = -1;  // the folder of create(), or of an append() that created the file
    std::string temporaryName;  // create(): the temporary file's name within folder, until renamed
    std::string targetName;     // create(): the name it takes at commit()
    bool regular = true;        // the file written is a regular file
    bool open = false;          // lines are taken: after create() or append(), before commit()
    std::error_code error;      // the system failure that stuck

    ~State() {
        core.reset();  // an append's buffered lines reach the file
        closeDescriptor(fd);
        if (!temporaryName.empty()) {
            ::unlinkat(folder, temporaryName.c_str(), 0);
        }
        closeDescriptor(folder);
    }

    std::error_code fail(int systemErrno) {
        error = systemError(systemErrno);
        return error;
    }
};

Writer::Writer() noexcept = default;
Writer::~Writer() = default;
Writer::Writer(Writer&& other) noexcept = default;
Writer& Writer::operator=(Writer&& other) noexcept = default;

std::error_code Writer::create(const std::string& path) {
    state_.reset();
    std::string folderPath;
    std::string name;
    splitPath(path, folderPath, name);
    if (path.empty()) {
        return std::make_error_code(std::errc::no_such_file_or_directory);
    }
    if (name.empty() || name == "." || name == "..") {
        return std::make_error_code(std::errc::is_a_directory);
    }
    if (const std::error_code refused = refusePathWithNul(path)) {
        return refused;
    }
    std::unique_ptr<State> state(new State);
    state->folder = ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (state->folder < 0) {
        return lastSystemError();
    }
    // A unique name: the process, a count within it and the time; O_EXCL refuses any clash.
    static std::atomic<unsigned> count{0};
    for (int attempt = 0; state->fd < 0; ++attempt) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        std::string candidate = "." + name + ".tmp-" + std::to_string(getpid()) + "-" +
                                std::to_string(count.fetch_add(1)) + "-" +
                                std::to_string(now.tv_nsec);
        state->fd = ::openat(state->folder, candidate.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (state->fd >= 0) {
            state->temporaryName = std::move(candidate);
        } else if (errno != EEXIST || attempt >= 100) {
            return lastSystemError();
        }
    }
    std::string source;
    if (const std::error_code error =
            openCore(state->core, state->fd, folderPath + "/" + state->temporaryName, ACCESS_WRITE,
                     source)) {
        return error;
    }
    // A file that is replaced keeps its permissions (set once the file is open for writing, so
    // a read-only one can be replaced too); a new one gets 0666 less the umask.
    struct stat old;
    if (::fstatat(state->folder, name.c_str(), &old, 0) == 0 && S_ISREG(old.st_mode) &&
        ::fchmod(state->fd, old.st_mode & 07777) != 0) {
        return lastSystemError();
    }
    state->targetName = std::move(name);
    state->open = true;
    state_ = std::move(state);
    return {};
}

std::error_code Writer::append(const std::string& path) {
    state_.reset();
    if (const std::error_code refused = refusePathWithNul(path)) {
        return refused;
    }
    std::unique_ptr<State> state(new State);
    bool created = false;
    while (state->fd < 0) {
        state->fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (state->fd >= 0) {
            break;
        }
        if (errno != ENOENT) {
            return lastSystemError();
        }
        state->fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (state->fd >= 0) {
            created = true;
        } else if (errno != EEXIST) {  // EEXIST: another process created it meanwhile
            return lastSystemError();
        }
    }
    struct stat status;
    if (::fstat(state->fd, &status) != 0) {
        return lastSystemError();
    }
    state->regular = S_ISREG(status.st_mode);
    if (created) {
        // The new file's name is durable only once its folder is synced at commit().
        std::string folderPath;
        std::string name;
        splitPath(path, folderPath, name);
        state->folder = ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (state->folder < 0) {
            return lastSystemError();
        }
    }
    std::string source;
    if (const std::error_code error =
            openCore(state->core, state->fd, path, ACCESS_APPEND, source)) {
        return error;
    }
    state->open = true;
    state_ = std::move(state);
    return {};
}

std::error_code Writer::write(std::string_view line) {
    State* const state = state_.get();
    if (state == nullptr || !state->open || state->error) {
        return error();
    }
    const char* text = line.data();
    size_t n = line.size();
    const size_t body = n != 0 && text[n - 1] == '\n' ? n - 1 : n;
    if (body > max_line_size) {
        return make_error_code(errc::line_too_long);
    }
    if (const char* hit = collect_file_internal::findEither(text, body, '\n', '\0')) {
        return make_error_code(*hit == '\n' ? errc::newline_in_line : errc::nul_in_line);
    }
    // The class adds nothing for an empty text behind buffered lines: an empty line is "\n".
    if (n == 0) {
        text = "\n";
        n = 1;
    }
    if (!ClassAccess::writeText(*state->core, text, n)) {
        return state->fail(errno);
    }
    return {};
}

std::error_code Writer::write(Section section) {
    return write(marker(section));
}

std::error_code Writer::commit() {
    State* const state = state_.get();
    if (state == nullptr || !state->open || state->error) {
        return error();
    }
    if (!state->core->WriteDataToFile()) {
        return state->fail(errno);
    }
    if (::fsync(state->fd) != 0 && !(errno == EINVAL && !state->regular)) {
        return state->fail(errno);  // a pipe or a device that cannot sync has nothing to keep
    }
    if (!state->core->Close()) {
        return state->fail(errno);
    }
    closeDescriptor(state->fd);
    if (!state->temporaryName.empty()) {
        if (::renameat(state->folder, state->temporaryName.c_str(), state->folder,
                       state->targetName.c_str()) != 0) {
            return state->fail(errno);
        }
        state->temporaryName.clear();
    }
    if (state->folder >= 0 && ::fsync(state->folder) != 0) {
        return state->fail(errno);
    }
    state->open = false;
    return {};
}

bool Writer::is_open() const noexcept {
    return state_ != nullptr && state_->open;
}

std::error_code Writer::error() const noexcept {
    if (state_ != nullptr && state_->error) {
        return state_->error;
    }
    return is_open() ? std::error_code() : make_error_code(errc::not_open);
}

}  // namespace collect_file
