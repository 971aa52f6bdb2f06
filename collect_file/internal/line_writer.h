// The safe interface's writing engine: one descriptor, a 64 KiB buffer on the heap that holds
// whole lines only, and the one flush that write, flush(), commit() and the destructor share.
// Not installed.
//
// It is separate from CollectFileReaderWriter because the class's object layout is frozen and it
// writes through a std::fstream, which can neither keep a flush to whole lines nor cut a failed
// one back; this engine writes its descriptor directly.

#ifndef COLLECT_FILE_INTERNAL_LINE_WRITER_H
#define COLLECT_FILE_INTERNAL_LINE_WRITER_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cassert>
#include <cstddef>
#include <cstring>
#include <memory>

#include "collect_file/CollectFileReaderWriter.h"

namespace collect_file_internal {

class LineWriter {
  public:
    // How a flush reaches the file, told by the descriptor's type.
    enum class Target {
        regular,  // one write per flush; a flush cut short is cut back to whole lines
        pipe,     // a pipe, FIFO or socket: each write whole lines of at most PIPE_BUF bytes
        device,   // anything else (a terminal, /dev/null...): the buffer written as it is
    };
    // The buffer's size; a line (at most kLineReadLimit bytes with its '\n') always fits.
    static constexpr size_t kCapacity = CollectFileReaderWriter::kWriteBufferCapacity;

    LineWriter() = default;
    // Closes the descriptor; buffered lines are dropped (the owner flushes first if it wants).
    ~LineWriter();
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    // Takes fd (closed by this engine from now on), learns its type with fstat into `status`
    // and allocates the buffer (std::bad_alloc). `readable`: fd was opened for reading too, so
    // that a failed flush can check its own bytes. 0, or the errno of fstat.
    int adopt(int fd, bool readable, struct stat& status);
    // Closes the descriptor; buffered lines are dropped.
    void close() noexcept;
    int fd() const noexcept { return fd_; }
    Target target() const noexcept { return target_; }

    // Buffers [line, line + n), which is one whole line ending with '\n' (n <= kLineReadLimit),
    // flushing the buffer first when the line does not fit. 0, or the errno of a failed flush
    // (the line is then not buffered).
    int put(const char* line, size_t n) {
        assert(n != 0 && line[n - 1] == '\n' &&
               n <= static_cast<size_t>(CollectFileReaderWriter::kLineReadLimit) &&
               "a whole line of at most kLineReadLimit bytes");
        if (n > kCapacity - size_) {
            if (const int error = flush()) {
                return error;
            }
        }
        std::memcpy(buffer_.get() + size_, line, n);
        size_ += n;
        return 0;
    }
    // Buffers a line's text and its '\n' (n < kLineReadLimit, the text holding no '\n').
    int putWithNewline(const char* text, size_t n) {
        if (n + 1 > kCapacity - size_) {
            if (const int error = flush()) {
                return error;
            }
        }
        char* const end = buffer_.get() + size_;
        std::memcpy(end, text, n);
        end[n] = '\n';
        size_ += n + 1;
        return 0;
    }

    // Writes every buffered line; EINTR is retried and a short write continued. 0 on success,
    // else the errno (EIO for a write that wrote nothing and set none). Either way the buffer is
    // empty afterwards. On a regular file a flush that stops part way leaves the file ending on
    // a whole line where it can: when the file still ends where this flush's last byte went
    // (no other appender wrote after it), it is cut back to its size before the flush.
    int flush();

  private:
    int flushWhole();
    int flushToPipe();
    void cutBack(size_t written);

    int fd_ = -1;
    Target target_ = Target::device;
    bool readable_ = false;
    std::unique_ptr<char[]> buffer_;
    size_t size_ = 0;  // bytes buffered: whole lines, each ending with '\n'
};

}  // namespace collect_file_internal

#endif  // COLLECT_FILE_INTERNAL_LINE_WRITER_H
