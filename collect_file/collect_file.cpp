#include "collect_file/collect_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <optional>

#include "collect_file/CollectFileReaderWriter.h"
#include "collect_file/internal/class_access.h"
#include "collect_file/internal/line_scan.h"

using collect_file_internal::ClassAccess;

namespace collect_file {

namespace {

// EINVAL for a path that holds a NUL byte, which the system would cut there and so name another
// file; empty otherwise.
std::error_code refusePathWithNul(const std::string& path) {
    return path.find('\0') != std::string::npos ? std::make_error_code(std::errc::invalid_argument)
                                                : std::error_code();
}

// Bytes a line may hold, its trailing '\n' not counted, so that every reader delivers it whole.
const size_t kLongestLine = CollectFileReaderWriter::kLineReadLimit - 1;

class Category : public std::error_category {
  public:
    const char* name() const noexcept override { return "collect_file"; }
    std::string message(int value) const override {
        switch (static_cast<errc>(value)) {
            case errc::line_too_long:
                return "line of 2,048 bytes or more, which no reader delivers";
            case errc::nul_in_line:
                return "line holds a NUL byte";
            case errc::newline_in_line:
                return "line holds a newline before its end";
            case errc::not_open:
                return "no file open";
            case errc::position_unknown:
                return "read position unknown";
        }
        return "unknown collect_file error";
    }
};

// The error of the system call that just failed; EIO when it left no errno.
std::error_code systemError(int error) {
    return std::error_code(error != 0 ? error : EIO, std::generic_category());
}

std::error_code lastSystemError() {
    return systemError(errno);
}

// The path that reopens descriptor fd, the same file even after a rename.
std::string descriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// Opens the class's object on the file behind fd (through /proc/self/fd, or by `path` on a system
// without /proc). Sets source to the path that worked.
std::error_code openCore(std::optional<CollectFileReaderWriter>& core, int fd,
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

void closeDescriptor(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// A path's folder and the name within it; name is empty for a path that ends with '/'.
void splitPath(const std::string& path, std::string& folder, std::string& name) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        folder = ".";
        name = path;
    } else {
        folder = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

}  // namespace

const std::error_category& error_category() noexcept {
    static const Category category;
    return category;
}

std::error_code make_error_code(errc e) noexcept {
    return std::error_code(static_cast<int>(e), error_category());
}

// --- Writer --------------------------------------------------------------------------------

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
    if (body > kLongestLine) {
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
    switch (section) {
        case Section::full:
            return write(FULLENTRYDELIMITER);
        case Section::diff:
            return write(DIFFENTRYDELIMITER);
        case Section::system:
            return write(SYSTEMENTRYDELIMITER);
    }
    return std::make_error_code(std::errc::invalid_argument);
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

// --- Reader --------------------------------------------------------------------------------

struct __attribute__((visibility("hidden"))) Reader::State {
    std::optional<CollectFileReaderWriter> core;
    int fd = -1;            // the file, opened once; the class reads it through source
    bool seekable = false;  // a regular file
    std::string source;
    uint64_t position = 0;  // first byte of the next line
    bool stopped = false;   // next() delivers nothing until a seek or skip
    std::error_code error;  // why it stopped; empty at a clean end

    ~State() {
        core.reset();
        closeDescriptor(fd);
    }

    // next() after the class delivered nothing, or no position: learns why, from its stream.
    __attribute__((noinline)) bool stop(Line& line);
    // A fresh object of the class reading source from offset, which is at most the file's size.
    std::error_code reopenAt(uint64_t offset);
    // Reads on at offset: within the class's object while it can move, else through a fresh one.
    std::error_code moveTo(uint64_t offset);
};

bool Reader::State::stop(Line& line) {
    const int readErrno = errno;
    const std::ios_base::iostate state = ClassAccess::streamState(*core);
    const bool known = ClassAccess::positionKnown(*core);
    stopped = true;
    if ((state & std::ios_base::badbit) != 0) {
        error = known ? systemError(readErrno) : make_error_code(errc::position_unknown);
    } else if ((state & std::ios_base::eofbit) != 0 && (state & std::ios_base::failbit) != 0) {
        error.clear();  // the end of the file; line stays as it was
        return false;
    } else if ((state & std::ios_base::failbit) != 0) {
        error = make_error_code(errc::line_too_long);
    } else {
        error = make_error_code(errc::position_unknown);  // a line read, but no position to give
    }
    line.offset = position;
    return false;
}

std::error_code Reader::State::reopenAt(uint64_t offset) {
    stopped = true;
    core.reset();
    core.emplace();
    if (!core->OpenFile(source, ACCESS_READ) || (offset != 0 && !core->seek(offset))) {
        error = lastSystemError();
        return error;
    }
    position = offset;
    stopped = false;
    error.clear();
    return {};
}

std::error_code Reader::State::moveTo(uint64_t offset) {
    if (!stopped && core->seek(offset)) {
        position = offset;
        return {};
    }
    return reopenAt(offset);
}

Reader::Reader() noexcept = default;
Reader::~Reader() = default;
Reader::Reader(Reader&& other) noexcept = default;
Reader& Reader::operator=(Reader&& other) noexcept = default;

std::error_code Reader::open(const std::string& path) {
    state_.reset();
    if (const std::error_code refused = refusePathWithNul(path)) {
        return refused;
    }
    std::unique_ptr<State> state(new State);
    state->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (state->fd < 0) {
        return lastSystemError();
    }
    struct stat status;
    if (::fstat(state->fd, &status) != 0) {
        return lastSystemError();
    }
    if (S_ISDIR(status.st_mode)) {
        return std::make_error_code(std::errc::is_a_directory);
    }
    state->seekable = S_ISREG(status.st_mode);
    if (const std::error_code error =
            openCore(state->core, state->fd, path, ACCESS_READ, state->source)) {
        return error;
    }
    state_ = std::move(state);
    return {};
}

bool Reader::next(Line& line) {
    State* const state = state_.get();
    if (state == nullptr || state->stopped) {
        return false;
    }
    CollectFileReaderWriter& core = *state->core;
    // The line started where the last one ended, and ends where the class's position now is:
    // right for a line cut short at a NUL too, whose text is shorter than its bytes.
    uint64_t after;
    if (__builtin_expect(!ClassAccess::readLineEnd(core, line.text, after), 0)) {
        return state->stop(line);
    }
    line.offset = state->position;
    state->position = after;
    return true;
}

std::error_code Reader::error() const noexcept {
    if (state_ == nullptr) {
        return make_error_code(errc::not_open);
    }
    return state_->stopped ? state_->error : std::error_code();
}

std::uint64_t Reader::position() const noexcept {
    return state_ != nullptr ? state_->position : 0;
}

std::error_code Reader::seek(std::uint64_t offset) {
    State* const state = state_.get();
    if (state == nullptr) {
        return make_error_code(errc::not_open);
    }
    if (!state->seekable) {
        return std::make_error_code(std::errc::invalid_seek);
    }
    struct stat status;
    if (::fstat(state->fd, &status) != 0) {
        return lastSystemError();
    }
    if (offset > static_cast<uint64_t>(status.st_size)) {
        return std::make_error_code(std::errc::invalid_argument);
    }
    return state->moveTo(offset);
}

std::error_code Reader::skip() {
    State* const state = state_.get();
    if (state == nullptr) {
        return make_error_code(errc::not_open);
    }
    if (!state->stopped) {
        Line dropped;
        if (next(dropped) || !state->stopped || !state->error) {
            return {};
        }
    }
    if (state->error != errc::line_too_long) {
        return state->error;
    }
    if (!state->seekable) {
        return std::make_error_code(std::errc::invalid_seek);
    }
    // The line's end, read from the file itself: the byte after its first '\n', or the file's
    // end when it has none.
    char chunk[16384];
    uint64_t at = state->position;
    for (;;) {
        const ssize_t got = ::pread(state->fd, chunk, sizeof chunk, static_cast<off_t>(at));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return lastSystemError();
        }
        if (got == 0) {
            break;
        }
        const size_t length = collect_file_internal::indexOf(chunk, static_cast<size_t>(got), '\n');
        at += length;
        if (length < static_cast<size_t>(got)) {
            ++at;
            break;
        }
    }
    return state->reopenAt(at);
}

bool Reader::is_open() const noexcept {
    return state_ != nullptr;
}

}  // namespace collect_file
