// collect_file::Reader: lines with their offsets, seeks and skips over one open descriptor.

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "collect_file/collect_file.h"
#include "collect_file/internal/class_access.h"
#include "collect_file/internal/line_scan.h"
#include "collect_file/internal/safe_support.h"

using collect_file_internal::ClassAccess;

namespace collect_file {

using namespace detail;

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
