// collect_file::Writer: a new file that replaces its path at commit(), or lines added at a
// file's end, written through the engine of internal/line_writer.h.

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "collect_file/collect_file.h"
#include "collect_file/internal/line_scan.h"
#include "collect_file/internal/line_writer.h"
#include "collect_file/internal/new_file.h"
#include "collect_file/internal/safe_support.h"

using collect_file_internal::LineWriter;
using collect_file_internal::LinkRoute;

namespace collect_file {

using namespace detail;

namespace {

// The empty error_code, made once: its constructor calls into the C++ library, which a write
// of a short line would feel.
const std::error_code kSuccess;

// The refusal of a line that holds `hit`, a '\n' before its end or a NUL.
std::error_code refusalOf(char hit) {
    return make_error_code(hit == '\n' ? errc::newline_in_line : errc::nul_in_line);
}

}  // namespace

struct __attribute__((visibility("hidden"))) Writer::State {
    LineWriter out;              // the file written: create()'s temporary file, or the appended one
    int folder = -1;             // the folder of create(), or of an append() that created the file
    bool folderSyncable = true;  // opened for reading; else only for *at calls (O_PATH)
    bool creating = false;       // create(): the file replaces targetName at commit()
    bool unnamed = false;        // create()'s file has no name yet (O_TMPFILE)
    LinkRoute route = LinkRoute::none;
    std::string temporaryName;  // a name the file has in folder until renamed, removed if left
    std::string targetName;     // create(): the name it takes at commit(); append(): its name
    bool created = false;       // append() created the file
    bool open = false;          // lines are taken: after create() or append(), before commit()
    bool writable = false;      // open and no error: the one test of write()'s fast path
    std::error_code error;      // the system failure that stuck

    ~State() {
        if (writable && !creating) {
            (void)out.flush();  // an append's buffered lines reach the file
        }
        if (!temporaryName.empty()) {
            ::unlinkat(folder, temporaryName.c_str(), 0);
        }
        out.close();
        closeDescriptor(folder);
    }

    std::error_code fail(int systemErrno) {
        error = systemError(systemErrno);
        writable = false;
        return error;
    }

    // Opens the folder for reading, so that commit() can fsync it; one that may be written and
    // searched but not read is opened for the *at calls alone (O_PATH).
    std::error_code openFolder(const std::string& path) {
        folder = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0 && errno == EACCES) {
            folder = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            folderSyncable = false;
        }
        return folder < 0 ? lastSystemError() : std::error_code();
    }

    // Makes the names in folder durable: fsync of the folder, or of its whole file system when
    // the folder could not be opened for reading.
    int syncFolder() { return folderSyncable ? ::fsync(folder) : ::syncfs(out.fd()); }

    // Gives the unnamed file a name: targetName itself where it is free, else a temporary name
    // that commit() then renames over targetName.
    int link() {
        const std::string descriptor = "/proc/self/fd/" + std::to_string(out.fd());
        auto linkAs = [&](const char* name) {
            if (route == LinkRoute::emptyPath &&
                ::linkat(out.fd(), "", folder, name, AT_EMPTY_PATH) == 0) {
                return 0;
            }
            if (route == LinkRoute::emptyPath && errno != EPERM && errno != ENOENT) {
                return -1;
            }
            return ::linkat(AT_FDCWD, descriptor.c_str(), folder, name, AT_SYMLINK_FOLLOW);
        };
        if (linkAs(targetName.c_str()) == 0) {
            return 0;
        }
        if (errno != EEXIST) {
            return -1;
        }
        std::string name;
        const int linked = collect_file_internal::underFreshName(targetName, name, linkAs);
        if (linked == 0) {
            temporaryName = std::move(name);
        }
        return linked;
    }

    // Removes the file that append() created, if it is still the same empty file.
    void removeCreated() {
        struct stat own;
        struct stat named;
        if (created && ::fstat(out.fd(), &own) == 0 &&
            ::fstatat(folder, targetName.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            own.st_dev == named.st_dev && own.st_ino == named.st_ino && named.st_size == 0) {
            ::unlinkat(folder, targetName.c_str(), 0);
        }
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
    if (const std::error_code error = state->openFolder(folderPath)) {
        return error;
    }
    // A file that is replaced keeps its permissions; a new one gets what the class would give it.
    struct stat old;
    const bool replacing =
        ::fstatat(state->folder, name.c_str(), &old, 0) == 0 && S_ISREG(old.st_mode);
    state->route = collect_file_internal::linkRoute();
    int fd = -1;
    if (state->route != LinkRoute::none) {
        // Nameless, so that nobody else can open it; 0666 less the umask (or as the folder's
        // default ACL says), as the class creates a file.
        fd = ::openat(state->folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return lastSystemError();
        }
    }
    mode_t mode = replacing ? old.st_mode & 07777 : 0;
    bool setMode = replacing;
    state->unnamed = fd >= 0;
    if (fd < 0) {
        // No nameless files here (or no way to name one later): a named one, private from the
        // start, that gets its final mode before any byte is written.
        fd = collect_file_internal::underFreshName(
            name, state->temporaryName, [&](const char* candidate) {
                return ::openat(state->folder, candidate, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                                0600);
            });
        if (fd < 0) {
            state->temporaryName.clear();
            return lastSystemError();
        }
        if (!replacing) {
            mode = 0666 & ~collect_file_internal::currentUmask();
        }
        setMode = mode != 0600;
    }
    struct stat status;
    if (const int error = state->out.adopt(fd, false, status)) {
        return systemError(error);
    }
    if (setMode && ::fchmod(fd, mode) != 0) {
        return lastSystemError();
    }
    state->targetName = std::move(name);
    state->creating = true;
    state->open = true;
    state->writable = true;
    state_ = std::move(state);
    return {};
}

std::error_code Writer::append(const std::string& path) {
    state_.reset();
    if (const std::error_code refused = refusePathWithNul(path)) {
        return refused;
    }
    std::unique_ptr<State> state(new State);
    // A regular file is opened for reading too, to check its last byte; a FIFO or a device for
    // writing only, so that opening it means what it means to a writer.
    struct stat before;
    const bool plain = ::stat(path.c_str(), &before) != 0 || S_ISREG(before.st_mode);
    int fd = -1;
    bool readable = false;
    for (int attempt = 0; fd < 0; ++attempt) {
        if (plain) {
            fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
            readable = fd >= 0;
        }
        if (fd < 0 && (!plain || errno == EACCES)) {
            fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        }
        if (fd >= 0) {
            break;
        }
        if (errno != ENOENT || attempt >= 100) {
            return lastSystemError();
        }
        // Missing: its folder is opened first, so that no failure leaves a new file behind.
        if (state->folder < 0) {
            std::string folderPath;
            splitPath(path, folderPath, state->targetName);
            if (const std::error_code error = state->openFolder(folderPath)) {
                return error;
            }
        }
        fd = ::openat(state->folder, state->targetName.c_str(),
                      O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            state->created = true;
            readable = true;
        } else if (errno != EEXIST) {  // EEXIST: another process created it meanwhile
            return lastSystemError();
        }
    }
    struct stat status;
    std::error_code refusal;
    if (const int error = state->out.adopt(fd, readable, status)) {
        refusal = systemError(error);
    } else if (readable && state->out.target() == LineWriter::Target::regular &&
               status.st_size > 0) {
        // Lines added behind a cut line would glue onto it.
        char last = 0;
        if (::pread(fd, &last, 1, status.st_size - 1) != 1) {
            refusal = lastSystemError();
        } else if (last != '\n') {
            refusal = make_error_code(errc::unterminated_line);
        }
    }
    if (refusal) {
        state->removeCreated();
        return refusal;
    }
    state->open = true;
    state->writable = true;
    state_ = std::move(state);
    return {};
}

std::error_code Writer::write(std::string_view line) {
    State* const state = state_.get();
    if (state == nullptr || !state->writable) {
        return error();
    }
    const char* const text = line.data();
    const size_t n = line.size();
    const size_t body = n != 0 && text[n - 1] == '\n' ? n - 1 : n;
    if (body > max_line_size) {
        return make_error_code(errc::line_too_long);
    }
    LineWriter& out = state->out;
    if (!out.fits(body + 1)) {
        // A refused line flushes nothing: the caller's bytes are checked before the flush.
        if (const char* hit = collect_file_internal::findEither(text, body, '\n', '\0')) {
            return refusalOf(*hit);
        }
        if (const int failed = out.flush()) {
            return state->fail(failed);
        }
    }
    // Copied and checked in one go; taken only when clean.
    char* const slot = out.end();
    if (const char* hit = LineWriter::copyLine(slot, text, body)) {
        return refusalOf(*hit);
    }
    slot[body] = '\n';
    out.added(body + 1);
    return kSuccess;
}

std::error_code Writer::write(Section section) {
    return write(marker(section));
}

std::error_code Writer::flush() {
    State* const state = state_.get();
    if (state == nullptr || !state->writable) {
        return error();
    }
    if (const int failed = state->out.flush()) {
        return state->fail(failed);
    }
    return {};
}

std::error_code Writer::commit() {
    if (const std::error_code failed = flush()) {
        return failed;
    }
    State* const state = state_.get();
    const bool regular = state->out.target() == LineWriter::Target::regular;
    if (::fsync(state->out.fd()) != 0 && !(errno == EINVAL && !regular)) {
        return state->fail(errno);  // a pipe or a device that cannot sync has nothing to keep
    }
    if (state->unnamed && state->link() != 0) {
        return state->fail(errno);
    }
    if (state->creating && !state->temporaryName.empty()) {
        if (::renameat(state->folder, state->temporaryName.c_str(), state->folder,
                       state->targetName.c_str()) != 0) {
            return state->fail(errno);
        }
        state->temporaryName.clear();
    }
    if ((state->creating || state->created) && state->syncFolder() != 0) {
        return state->fail(errno);
    }
    state->out.close();
    state->open = false;
    state->writable = false;
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
