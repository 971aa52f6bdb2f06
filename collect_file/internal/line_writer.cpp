// The writing engine's flush: whole lines to a regular file, a pipe or a device, and the cut back
// of a regular file's flush that stopped part way.

#include "collect_file/internal/line_writer.h"

#include <errno.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace collect_file_internal {

LineWriter::~LineWriter() {
    close();
}

void LineWriter::close() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    size_ = 0;
}

int LineWriter::adopt(int fd, bool readable, struct stat& status) {
    assert(fd_ < 0 && "a descriptor is adopted once");
    fd_ = fd;
    readable_ = readable;
    if (::fstat(fd, &status) != 0) {
        return errno != 0 ? errno : EIO;
    }
    target_ = S_ISREG(status.st_mode)                                ? Target::regular
              : S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) ? Target::pipe
                                                                     : Target::device;
    buffer_.reset(new char[kCapacity]);
    return 0;
}

int LineWriter::flush() {
    if (size_ == 0) {
        return 0;
    }
    const int error = target_ == Target::pipe ? flushToPipe() : flushWhole();
    size_ = 0;
    return error;
}

// A write that returned 0 for bytes it was given made no progress and would loop.
static int writeError(ssize_t result) {
    return result < 0 && errno != 0 ? errno : EIO;
}

int LineWriter::flushWhole() {
    size_t done = 0;
    while (done < size_) {
        const ssize_t written = ::write(fd_, buffer_.get() + done, size_ - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            const int error = writeError(written);
            if (done > 0 && target_ == Target::regular) {
                cutBack(done);
            }
            return error;
        }
        done += static_cast<size_t>(written);
    }
    return 0;
}

// A write of at most PIPE_BUF bytes to a pipe is atomic: it never mixes with another writer's.
int LineWriter::flushToPipe() {
    size_t done = 0;
    while (done < size_) {
        const char* const start = buffer_.get() + done;
        size_t n = std::min<size_t>(size_ - done, PIPE_BUF);
        if (done + n < size_) {
            // Lines are shorter than PIPE_BUF, so the chunk holds a '\n': it ends after the last.
            n = static_cast<size_t>(static_cast<const char*>(::memrchr(start, '\n', n)) - start) +
                1;
        }
        const ssize_t written = ::write(fd_, start, n);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return writeError(written);
        }
        done += static_cast<size_t>(written);
    }
    return 0;
}

// The file's offset is where the last byte written went (O_APPEND or not). When the file still
// ends there, and, read back where the descriptor allows, its last `written` bytes are this
// flush's, nobody wrote after them: the file is cut back to where the flush began. Otherwise it
// is left, and the next append() refuses a file that ends inside a line.
void LineWriter::cutBack(size_t written) {
    const int saved = errno;
    struct stat status;
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    if (end < static_cast<off_t>(written) || ::fstat(fd_, &status) != 0 || status.st_size != end) {
        errno = saved;
        return;
    }
    const off_t start = end - static_cast<off_t>(written);
    bool ours = true;
    char bytes[4096];
    for (size_t at = 0; readable_ && ours && at < written;) {
        const size_t n = std::min(sizeof bytes, written - at);
        ours = ::pread(fd_, bytes, n, start + static_cast<off_t>(at)) == static_cast<ssize_t>(n) &&
               std::memcmp(bytes, buffer_.get() + at, n) == 0;
        at += n;
    }
    if (ours) {
        while (::ftruncate(fd_, start) != 0 && errno == EINTR) {
        }
    }
    errno = saved;
}

}  // namespace collect_file_internal
