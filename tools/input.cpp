#include "input.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace collect_file_tool {

namespace {

// The most a stream is read at a time while it is read forward to a show's offset.
const std::size_t kForwardPiece = 65536;

// read(2), resumed after an interrupted call.
ssize_t readResumed(int descriptor, char* into, std::size_t n) {
    ssize_t got;
    do {
        got = ::read(descriptor, into, n);
    } while (got < 0 && errno == EINTR);
    return got;
}

}  // namespace

InputFile::~InputFile() {
    if (ownDescriptor_) {
        ::close(descriptor_);
    }
}

bool InputFile::fail(int error) {
    error_ = std::strerror(error);
    return false;
}

void InputFile::stopWith(Stop stop, std::uint64_t offset, const std::string& error) {
    stop_ = stop;
    stopOffset_ = offset;
    error_ = error;
}

int InputFile::byteAt(std::uint64_t offset) const {
    unsigned char byte = 0;
    ssize_t got;
    do {
        got = ::pread(descriptor_, &byte, 1, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    return got == 1 ? byte : -1;
}

bool InputFile::open(const std::string& path, std::uint64_t from) {
    const bool standardInput = path == "-";
    if (standardInput) {
        descriptor_ = 0;
    } else {
        do {
            descriptor_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        } while (descriptor_ < 0 && errno == EINTR);
        ownDescriptor_ = descriptor_ >= 0;
    }
    struct stat status;
    if (descriptor_ < 0 || fstat(descriptor_, &status) != 0) {
        return fail(errno);
    }
    if (S_ISDIR(status.st_mode)) {
        return fail(EISDIR);
    }
    // A regular file with a size is read in place. One without (a /proc file, say) reports no
    // size to seek by, and is read once, as a stream; so is standard input, from where it
    // stands.
    regular_ = !standardInput && S_ISREG(status.st_mode) && status.st_size > 0;
    if (regular_) {
        size_ = static_cast<std::uint64_t>(status.st_size);
        if (from >= size_ && from > 0) {
            pastEnd_ = true;
            return false;
        }
    } else {
        // The Reader counts a regular file's offsets from its first byte, a pipe's from where
        // it stands; the tool counts both from where the input stood.
        const off_t stood = S_ISREG(status.st_mode) ? ::lseek(descriptor_, 0, SEEK_CUR) : -1;
        base_ = stood >= 0 ? 0 - static_cast<std::uint64_t>(stood) : from;
        std::vector<char> bytes(static_cast<std::size_t>(
            std::min<std::uint64_t>(std::max<std::uint64_t>(from, 1), kForwardPiece)));
        for (std::uint64_t left = from; left > 0;) {
            const ssize_t got =
                readResumed(descriptor_, bytes.data(),
                            static_cast<std::size_t>(std::min<std::uint64_t>(left, bytes.size())));
            if (got < 0) {
                return fail(errno);
            }
            if (got == 0) {
                break;  // nothing at `from`: the first next() meets the end
            }
            left -= static_cast<std::uint64_t>(got);
            byteBeforeStart_ = left == 0 ? static_cast<unsigned char>(bytes[got - 1]) : -1;
        }
    }
    if (const std::error_code error = reader_.open(descriptor_)) {
        error_ = error.message();
        return false;
    }
    if (regular_ && from > 0) {
        byteBeforeStart_ = byteAt(from - 1);
        if (const std::error_code error = reader_.seek(from)) {
            error_ = error.message();
            return false;
        }
    }
    return true;
}

bool InputFile::lineNotWhole(Line& line) {
    const std::error_code error = reader_.error();
    const bool tooLong = error == collect_file::errc::line_too_long;
    const bool cut = error == collect_file::errc::unterminated_line;
    if (!tooLong && !cut && error != collect_file::errc::nul_in_line) {
        stopWith(error ? Stop::read_error : Stop::end, base_ + reader_.position(),
                 error ? error.message() : "");
        return false;
    }
    const std::uint64_t first = reader_.position();
    if (const std::error_code skipped = reader_.skip()) {
        stopWith(Stop::read_error, base_ + first, skipped.message());
        return false;
    }
    // The line's bytes run up to `next`, its '\n' included if it has one. A line holding a NUL
    // has one (the Reader names a cut line first); a line too long may lack it.
    const std::uint64_t next = reader_.position();
    const bool newline = !cut && (!tooLong || !regular_ || byteAt(next - 1) == '\n');
    line.offset += base_;
    line.length = next - first - (newline ? 1 : 0);
    line.ending = newline ? Ending::newline : Ending::none;
    line.tooLong = tooLong;
    if (!newline && regular_) {
        if (next > size_ || byteAt(next - 1) == '\n') {
            // Past the size the file had when opened, or completed since: an appender wrote
            // it, perhaps still a page at a time, and it was caught part-way.
            line.ending = Ending::grew;
        } else if (next < size_) {
            // The file shrank under the reader: its end is no cut line, and the bytes seen
            // are no proof of a NUL; the end itself is reported (sizeNotReached).
            line.ending = Ending::newline;
            line.length = line.text.size();
        }
    }
    return true;
}

}  // namespace collect_file_tool
