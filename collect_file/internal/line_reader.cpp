// The reading engine's slow paths: reading more of the file, deciding a line the bytes held do
// not, seeking outside the buffer, and skipping a line that was not delivered.

#include "collect_file/internal/line_reader.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>

#include "collect_file/internal/refill_policy.h"
#include "collect_file/internal/safe_support.h"

namespace collect_file_internal {

using collect_file::errc;
using collect_file::detail::lastSystemError;

LineReader::~LineReader() {
    ::close(fd_);
}

char* LineReader::buffer() {
    if (buffer_ == nullptr) {
        buffer_.reset(new char[kCapacity]);
    }
    return buffer_.get();
}

ssize_t LineReader::readSome(char* into, size_t n, uint64_t at) {
    ssize_t got;
    do {
        got = seekable_ ? ::pread(fd_, into, n, static_cast<off_t>(at)) : ::read(fd_, into, n);
    } while (got < 0 && errno == EINTR);
    return got;
}

ssize_t LineReader::readMore() {
    char* const bytes = buffer();
    if (kCapacity - end_ < kWindow) {
        std::memmove(bytes, bytes + begin_, end_ - begin_);
        bufferOffset_ += begin_;
        end_ -= begin_;
        begin_ = 0;
    }
    const size_t asked = std::min(kCapacity - end_, refill_);
    const ssize_t got = readSome(bytes + end_, asked, bufferOffset_ + end_);
    if (got > 0) {
        end_ += static_cast<size_t>(got);
        refill_ = std::min(2 * refill_, kCapacity);
    }
    return got;
}

bool LineReader::readLineSlowly(std::string& text, uint64_t& offset, const char* found) {
    if (found == nullptr && end_ - begin_ >= kWindow) {
        // A full window with neither '\n' nor NUL: too long, as the one scan showed.
        offset = position();
        text.assign(buffer_.get() + begin_, kWindow - 1);
        stop(make_error_code(errc::line_too_long));
        return false;
    }
    // Enough bytes decide the line: its '\n' within the window, a full window without one, or
    // the end of the input.
    bool atEnd = false;
    size_t held = end_ - begin_;
    size_t newline = kWindow;
    for (;;) {
        const size_t window = std::min(held, kWindow);
        newline = held != 0 ? indexOf(buffer_.get() + begin_, window, '\n') : window;
        if (newline < window || held >= kWindow || atEnd) {
            break;
        }
        const ssize_t got = readMore();
        if (got < 0) {
            const std::error_code error = lastSystemError();
            text.clear();
            offset = position();
            stop(error);
            return false;
        }
        atEnd = got == 0;
        held = end_ - begin_;
    }
    if (held == 0) {
        stop({});  // a clean end; the caller's line stays as it was
        return false;
    }
    // Which stop wins when a line has more than one fault: too long, then cut at the end, then
    // a NUL. The bytes delivered stop at the first NUL in every case.
    const char* const bytes = buffer_.get() + begin_;
    const size_t window = std::min(held, kWindow);
    const size_t nul = indexOf(bytes, std::min(newline, window), '\0');
    offset = position();
    if (newline < window && nul == newline) {
        text.assign(bytes, newline);
        begin_ += newline + 1;
        return true;
    }
    text.assign(bytes, std::min(nul, kWindow - 1));
    stop(newline < window  ? make_error_code(errc::nul_in_line)
         : held >= kWindow ? make_error_code(errc::line_too_long)
                           : make_error_code(errc::unterminated_line));
    return false;
}

std::error_code LineReader::seek(uint64_t offset) {
    if (!seekable_) {
        return std::make_error_code(std::errc::invalid_seek);
    }
    if (offset >= bufferOffset_ && offset - bufferOffset_ <= end_) {
        begin_ = static_cast<size_t>(offset - bufferOffset_);
        resume();
        return {};
    }
    // A target less than a buffer past the bytes held continues a walk through the file: a
    // whole buffer from the target serves it, as reading on would. Any other target: the
    // aligned small block that holds it, as the class reads. One pread(2) as a rule; a short
    // read is resumed until the bytes reach the target or the file ends. Whether the target
    // lies within the file shows in what came back, or, for a target at the start of what was
    // asked for, in the byte before it.
    const uint64_t kept = position();
    const uint64_t heldEnd = bufferOffset_ + end_;
    const bool walk = offset > heldEnd && offset - heldEnd < kCapacity;
    const uint64_t blockStart = walk ? offset : RefillPolicy::blockStart(offset);
    const size_t asked = walk ? kCapacity : RefillPolicy::kSmallBlock;
    const size_t before = static_cast<size_t>(offset - blockStart);
    char* const bytes = buffer();
    size_t held = 0;
    for (;;) {
        const ssize_t got = readSome(bytes + held, asked - held, blockStart + held);
        if (got < 0) {
            return failAt(offset);
        }
        held += static_cast<size_t>(got);
        if (got == 0 || held > before) {
            break;
        }
    }
    bool within = held > before || (held == before && (before > 0 || offset == 0));
    if (!within && held == 0 && before == 0) {
        char last;
        const ssize_t got = readSome(&last, 1, offset - 1);
        if (got < 0) {
            return failAt(offset);
        }
        within = got == 1;
    }
    if (!within) {
        // The bytes held are gone; the position and the stop stay, and are read again.
        bufferOffset_ = kept;
        begin_ = end_ = 0;
        return std::make_error_code(std::errc::invalid_argument);
    }
    bufferOffset_ = blockStart;
    begin_ = before;
    end_ = held;
    refill_ = std::min(2 * asked, kCapacity);
    resume();
    return {};
}

std::error_code LineReader::failAt(uint64_t at) {
    const std::error_code error = lastSystemError();
    bufferOffset_ = at;
    begin_ = end_ = 0;
    stop(error);
    return error;
}

std::error_code LineReader::skip() {
    if (!stopped_) {
        std::string dropped;
        uint64_t offset;
        if (readLine(dropped, offset) || !error_) {
            return {};
        }
    }
    if (!error_ || error_.category() != collect_file::error_category()) {
        return error_;  // a clean end (empty), or a system error: nothing changes
    }
    // The line at position() was not delivered: go on after its '\n'. A too-long line has
    // none within its first kWindow bytes, which are held.
    const uint64_t lineStart = position();
    size_t from = error_ == errc::line_too_long ? kWindow : 0;
    for (;;) {
        const size_t held = end_ - begin_;
        if (from < held) {
            const size_t newline = indexOf(buffer_.get() + begin_ + from, held - from, '\n');
            if (newline < held - from) {
                begin_ += from + newline + 1;
                resume();
                return {};
            }
        }
        begin_ = end_;  // every byte held belongs to the line
        from = 0;
        const ssize_t got = readMore();
        if (got < 0) {
            return failAt(lineStart);
        }
        if (got == 0) {
            stop({});  // the line ran to the end of the input
            return {};
        }
    }
}

}  // namespace collect_file_internal
