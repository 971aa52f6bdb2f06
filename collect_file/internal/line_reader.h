// The safe interface's reading engine: one descriptor, a 64 KiB buffer of the file's bytes, and
// the bounded line read that collect_file::Reader's next(), seek() and skip() are made of. Not
// installed.
//
// It is separate from CollectFileReaderWriter's reading on purpose: the class's object layout is
// frozen and it reads through a std::fstream, whose states cannot tell a line holding a NUL or a
// cut last line from a whole one. This engine reads its descriptor directly (pread(2) on a
// regular file, so the descriptor's offset never moves; read(2) on anything else) and shares with
// the class only the line scan (line_scan.h) and the constants: the buffer's size, the read
// limit, the block read after a seek.
//
// The buffer holds the file's bytes [bufferOffset_, bufferOffset_ + end_); the read position is
// bufferOffset_ + begin_, always the first byte of a line. The end of the file is never
// remembered: every read that needs bytes past the ones held asks the system again, so a file
// that grows is read as it is now.

#ifndef COLLECT_FILE_INTERNAL_LINE_READER_H
#define COLLECT_FILE_INTERNAL_LINE_READER_H

#include <sys/types.h>

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>

#include "collect_file/CollectFileReaderWriter.h"
#include "collect_file/collect_file.h"
#include "collect_file/internal/line_scan.h"

namespace collect_file_internal {

class LineReader {
  public:
    // The buffer's size, as the class's.
    static constexpr size_t kCapacity = CollectFileReaderWriter::kWriteBufferCapacity;
    // The bytes that decide a line: one more than the longest line delivered, its '\n' included.
    static constexpr size_t kWindow = collect_file::max_line_size + 1;
    static_assert(kWindow == CollectFileReaderWriter::kLineReadLimit, "one limit for all readers");
    // The bytes copied for a line of 16 bytes or more and shorter than this (see readLine()).
    static constexpr size_t kFixedCopy = 160;

    // Reads `fd`, which it owns and closes, from file offset `start`; `seekable` for a regular
    // file (read with pread(2) at offsets), else read(2) front to back with offsets from `start`.
    LineReader(int fd, bool seekable, uint64_t start) noexcept
        : fd_(fd), seekable_(seekable), bufferOffset_(start) {}
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The first byte of the line that readLine() reads next (after a stop: of the line that
    // was not delivered; at a clean end: the end of the bytes read).
    uint64_t position() const noexcept { return bufferOffset_ + begin_; }
    // Empty while reading goes on and at a clean end; else why reading stopped.
    const std::error_code& error() const noexcept { return error_; }

    // The line at position(): true with its bytes before the '\n' in text, its first byte in
    // offset, and position() past its '\n'. False when reading stops (see collect_file.h,
    // Reader::next) or has stopped.
    bool readLine(std::string& text, uint64_t& offset) {
        if (__builtin_expect(stopped_, 0)) {
            return false;
        }
        const char* bytes = buffer_.get() + begin_;
        const char* end = findEither(bytes, std::min(end_ - begin_, kWindow), '\n', '\0');
        if (__builtin_expect(end == nullptr || *end != '\n', 0)) {
            return readLineSlowly(text, offset, end);
        }
        const size_t length = static_cast<size_t>(end - bytes);
        text.clear();
        if (length - 16 < kFixedCopy - 16) {
            // Lines of 16 to 159 bytes take kFixedCopy bytes, a size the processor predicts,
            // where copies of the line's own length would mispredict a branch of memcpy's; the
            // text is then cut to the line.
            text.append(bytes, std::min(end_ - begin_, kFixedCopy));
            text.resize(length);
        } else {
            text.append(bytes, length);
        }
        offset = position();
        begin_ += length + 1;
        return true;
    }

    // Reader::seek, Reader::skip (see collect_file.h).
    std::error_code seek(uint64_t offset);
    std::error_code skip();

  private:
    // readLine() when the bytes held do not show a whole line without a NUL (found: the first
    // '\n' or NUL in the window held, or null): reads more until they decide the line, then
    // delivers it or stops.
    bool readLineSlowly(std::string& text, uint64_t& offset, const char* found);
    // Reads more of the input after the bytes held, first moving the held bytes from
    // position() on to the buffer's front when little room is left. The bytes read; 0 at the
    // end; -1 with errno on failure (EINTR is retried).
    ssize_t readMore();
    // One pread(2) or read(2) of up to n bytes into `into`, at `at` for a regular file,
    // resumed when interrupted.
    ssize_t readSome(char* into, size_t n, uint64_t at);
    // Reading stops with `error` (empty for a clean end) at position().
    void stop(const std::error_code& error) {
        stopped_ = true;
        error_ = error;
    }
    // After a failed read (errno set): drops the bytes held and stops at file offset `at`, the
    // first byte of the line that was not read, with the system's error, which it returns.
    std::error_code failAt(uint64_t at);
    // Reading goes on from position().
    void resume() {
        stopped_ = false;
        error_.clear();
    }
    // The buffer, allocated by the first read.
    char* buffer();

    int fd_;
    bool seekable_;
    bool stopped_ = false;            // readLine() delivers nothing until seek() or skip()
    std::error_code error_;           // why it stopped; empty while reading and at a clean end
    std::unique_ptr<char[]> buffer_;  // kCapacity bytes once read into; null before
    uint64_t bufferOffset_;           // the file offset of buffer_[0]
    size_t begin_ = 0;                // the read position's index; begin_ <= end_
    size_t end_ = 0;                  // bytes held; end_ <= kCapacity
    size_t refill_ = kCapacity;       // bytes the next readMore() asks for at most
};

}  // namespace collect_file_internal

#endif  // COLLECT_FILE_INTERNAL_LINE_READER_H
