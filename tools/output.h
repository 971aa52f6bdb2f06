// Where the tool writes: standard output, buffered and stopped at its first failure, and one
// line per message on standard error.

#ifndef COLLECT_FILE_TOOL_OUTPUT_H
#define COLLECT_FILE_TOOL_OUTPUT_H

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace collect_file_tool {

// Writes all n bytes to descriptor, resuming after interrupted and short writes. 0 when they
// all arrived, else the errno of the write that failed (EIO for one that wrote nothing).
int writeFully(int descriptor, const char* bytes, std::size_t n);

// Copies n bytes from `from` to `to`. A run of 16 to 144 bytes, as most lines are, goes as nine
// pieces of 16 bytes, each clamped to end where the run ends, so that no branch depends on its
// length, where memcpy's would.
inline void copyBytes(char* to, const char* from, std::size_t n) {
    if (n - 16 <= 128) {
        for (std::size_t piece = 0; piece < 9; ++piece) {
            const std::size_t at = std::min(16 * piece, n - 16);
            std::memcpy(to + at, from + at, 16);
        }
    } else {
        std::memcpy(to, from, n);
    }
}

// Writes to a descriptor with write(2) in pieces of up to 64 KiB. The first failed write is
// kept and everything after it is dropped, so a command that checks failed() stops at once, as
// cat does, also when SIGPIPE is ignored.
class Output {
  public:
    explicit Output(int descriptor) : descriptor_(descriptor), buffer_(new char[kPiece]) {}
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Adds text; writes once kPiece bytes are pending. Nothing once a write failed.
    void put(std::string_view text) {
        if (text.size() <= kPiece - used_) {
            std::memcpy(buffer_.get() + used_, text.data(), text.size());
            used_ += text.size();
        } else {
            putPastBuffer(text);
        }
    }
    void put(char c) { put(std::string_view(&c, 1)); }
    // put(text) and then put('\n'), with one check for room: the way most lines go out.
    void putLine(std::string_view text) {
        if (text.size() < kPiece - used_) {
            char* to = buffer_.get() + used_;
            copyBytes(to, text.data(), text.size());
            to[text.size()] = '\n';
            used_ += text.size() + 1;
        } else {
            putPastBuffer(text);
            put('\n');
        }
    }
    // Room for `n` more bytes (at most kPiece) in the buffer, written at the pointer returned
    // and then added with commit(end of what was written). Writes what is pending first when
    // the room is not there.
    char* reserve(std::size_t n) {
        if (n > kPiece - used_) {
            flush();
        }
        return buffer_.get() + used_;
    }
    void commit(const char* end) { used_ = static_cast<std::size_t>(end - buffer_.get()); }
    static const std::size_t kPiece = 65536;

    // Writes what is pending; false once any write failed.
    bool flush();
    bool failed() const { return error_ != 0; }
    // The system's error number of the first failed write, or 0.
    int error() const { return error_; }
    // Flushes and closes the descriptor (a close that fails counts as a failed write); error().
    int finish();

  private:
    // put() of text that does not fit in what is left of the buffer.
    void putPastBuffer(std::string_view text);
    // Writes all of `bytes` unless a write failed, now or before.
    void writeAll(std::string_view bytes);

    int descriptor_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    int error_ = 0;
};

// Where a command writes, and how text from a file (lines and names) is shown on each stream:
// escaped for a terminal, or as it is.
struct Console {
    Output& out;
    bool escapeOut = false;
    bool escapeErr = false;
    int errDescriptor = 2;  // standard error, written a whole message at a time
};

// "collect-file: NAME: message" on standard error, NAME escaped when `console.escapeErr`; the
// message is the tool's own text. Standard output is flushed first, so that the two keep their
// order on a terminal.
void complain(Console& console, std::string_view name, std::string_view message);

// "collect-file: message (see collect-file --help)" on standard error, escaped when
// `console.escapeErr`; always 2, the status of a wrong command line.
int usageError(Console& console, std::string_view message);

// "collect-file: message" on the console's standard error, as it is.
void say(Console& console, std::string_view message);

}  // namespace collect_file_tool

#endif
