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
#include <cstdint>
#include <cstring>
#include <memory>

#include "collect_file/CollectFileReaderWriter.h"
#include "collect_file/internal/line_scan.h"

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

    // Whether a line of n bytes with its '\n' fits behind the buffered ones.
    bool fits(size_t n) const noexcept { return n <= kCapacity - size_; }
    // Where the next line goes.
    char* end() noexcept { return buffer_.get() + size_; }
    // Takes the n bytes written at end() as buffered: whole lines, each ending with '\n'.
    void added(size_t n) noexcept {
        assert(n <= kCapacity - size_ && buffer_[size_ + n - 1] == '\n' && "whole lines that fit");
        size_ += n;
    }

    // Copies the n bytes at `from` to `to` and returns the first '\n' or NUL among them, or
    // nullptr (the bytes are then copied; else some may be). Each byte is loaded once for both
    // jobs, in overlapping words or 16-byte chunks chosen by the length's size class, as a
    // memcpy does, so that a line costs few branches; a line found to hold either byte is
    // scanned again for the first.
    static const char* copyLine(char* to, const char* from, size_t n) {
#if defined(COLLECT_FILE_SCAN_SSE2)
        bool found = false;
        if (n > kOnePassScan) {
            // Long runs: the C library's memchr and memcpy are faster.
            found = findEither(from, n, '\n', '\0') != nullptr;
            if (!found) {
                std::memcpy(to, from, n);
            }
        } else if (n >= 16) {
            __m128i breaks = _mm_setzero_si128();
            auto move = [&](size_t at) {
                const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
                breaks = _mm_or_si128(breaks, _mm_or_si128(_mm_cmpeq_epi8(chunk, newlines()),
                                                           _mm_cmpeq_epi8(chunk, nuls())));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), chunk);
            };
            if (n > 64) {
                for (size_t at = 0; at + 32 < n; at += 32) {
                    move(at);
                    move(at + 16);
                }
            } else if (n > 32) {
                move(0);
                move(16);
            }
            if (n > 16) {
                move(n > 32 ? n - 32 : 0);
            }
            move(n - 16);
            found = _mm_movemask_epi8(breaks) != 0;
        } else if (n >= 8) {
            found = moveWords<uint64_t>(to, from, n);
        } else if (n >= 4) {
            found = moveWords<uint32_t>(to, from, n);
        } else {
            for (size_t i = 0; i < n; ++i) {
                to[i] = from[i];
                found |= from[i] == '\n' || from[i] == '\0';
            }
        }
        return found ? findEither(from, n, '\n', '\0') : nullptr;
#else
        const char* const hit = findEither(from, n, '\n', '\0');
        if (hit == nullptr && n != 0) {
            std::memcpy(to, from, n);
        }
        return hit;
#endif
    }

    // Writes every buffered line; EINTR is retried and a short write continued. 0 on success,
    // else the errno (EIO for a write that wrote nothing and set none). Either way the buffer is
    // empty afterwards. On a regular file a flush that stops part way leaves the file ending on
    // a whole line where it can: when the file still ends where this flush's last byte went
    // (no other appender wrote after it), it is cut back to its size before the flush.
    int flush();

  private:
#if defined(COLLECT_FILE_SCAN_SSE2)
    static __m128i newlines() {
        return _mm_set1_epi8('\n');
    }
    static __m128i nuls() {
        return _mm_setzero_si128();
    }
    // Copies n bytes (sizeof(Word) <= n < 2 * sizeof(Word)) as two overlapping words; true
    // when they hold a '\n' or a NUL.
    template <class Word>
    static bool moveWords(char* to, const char* from, size_t n) {
        Word first;
        Word last;
        std::memcpy(&first, from, sizeof first);
        std::memcpy(&last, from + n - sizeof last, sizeof last);
        std::memcpy(to, &first, sizeof first);
        std::memcpy(to + n - sizeof last, &last, sizeof last);
        const __m128i both =
            _mm_set_epi64x(static_cast<int64_t>(last), static_cast<int64_t>(first));
        // Only the words' own bytes count, not the zeros above a narrow word.
        const int mask = sizeof(Word) == 8 ? 0xffff : 0x0f0f;
        return (_mm_movemask_epi8(
                    _mm_or_si128(_mm_cmpeq_epi8(both, newlines()), _mm_cmpeq_epi8(both, nuls()))) &
                mask) != 0;
    }
#endif
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
