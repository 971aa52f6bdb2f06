// collect_file::Reader: opening a file or a descriptor once, and the calls that hand over to the
// reading engine (internal/line_reader.h).

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "collect_file/collect_file.h"
#include "collect_file/internal/line_reader.h"
#include "collect_file/internal/safe_support.h"

namespace collect_file {

using namespace detail;

struct __attribute__((visibility("hidden"))) Reader::State : collect_file_internal::LineReader {
    using LineReader::LineReader;
};

namespace {

// A Reader of `fd`, which it owns: from the descriptor's offset on when askStart and the file is
// regular, else from 0. Closes fd and returns the error when it is a folder or its offset
// cannot be learned.
template <class State>  // Reader::State, named where it may be
std::error_code readerOf(int fd, bool askStart, std::unique_ptr<State>& state) {
    struct stat status;
    std::error_code error;
    off_t start = 0;
    if (::fstat(fd, &status) != 0) {
        error = lastSystemError();
    } else if (S_ISDIR(status.st_mode)) {
        error = std::make_error_code(std::errc::is_a_directory);
    } else if (askStart && S_ISREG(status.st_mode) && (start = ::lseek(fd, 0, SEEK_CUR)) < 0) {
        error = lastSystemError();
    }
    if (error) {
        ::close(fd);
        return error;
    }
    state.reset(new (std::nothrow)
                    State(fd, S_ISREG(status.st_mode), static_cast<uint64_t>(start)));
    if (state == nullptr) {
        ::close(fd);
        throw std::bad_alloc();
    }
    return {};
}

}  // namespace

Reader::Reader() noexcept = default;
Reader::~Reader() = default;
Reader::Reader(Reader&& other) noexcept = default;
Reader& Reader::operator=(Reader&& other) noexcept = default;

std::error_code Reader::open(const std::string& path) {
    state_.reset();
    if (const std::error_code refused = refusePathWithNul(path)) {
        return refused;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return lastSystemError();
    }
    return readerOf(fd, false, state_);
}

std::error_code Reader::open(int fd) {
    state_.reset();
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) {
        return lastSystemError();
    }
    const int flags = ::fcntl(own, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_WRONLY) {
        const std::error_code error =
            flags < 0 ? lastSystemError() : std::make_error_code(std::errc::bad_file_descriptor);
        ::close(own);
        return error;
    }
    return readerOf(own, true, state_);
}

bool Reader::next(Line& line) {
    State* const state = state_.get();
    return state != nullptr && state->readLine(line.text, line.offset);
}

std::error_code Reader::error() const noexcept {
    return state_ != nullptr ? state_->error() : make_error_code(errc::not_open);
}

std::uint64_t Reader::position() const noexcept {
    return state_ != nullptr ? state_->position() : 0;
}

std::error_code Reader::seek(std::uint64_t offset) {
    return state_ != nullptr ? state_->seek(offset) : make_error_code(errc::not_open);
}

std::error_code Reader::skip() {
    return state_ != nullptr ? state_->skip() : make_error_code(errc::not_open);
}

bool Reader::is_open() const noexcept {
    return state_ != nullptr;
}

}  // namespace collect_file
