// Where lines come from: a file or a stream, read through collect_file::Reader as any client
// reads it, with what the tool needs on top: each line's length and how it ends, and why
// reading stopped.

#ifndef COLLECT_FILE_TOOL_INPUT_H
#define COLLECT_FILE_TOOL_INPUT_H

#include <collect_file/collect_file.h>

#include <cstdint>
#include <string>

namespace collect_file_tool {

// How a line ends.
enum class Ending {
    newline,  // with its '\n'
    none,     // at the end of the input, without '\n' (a cut last line)
    grew,     // at what was the end when it was read; bytes came after it since (an appender)
};

// A line as the library's Reader gives it (text: what readers get, the bytes before the first
// NUL and at most 2,047 of them; offset: its first byte), read into directly, and what the tool
// adds. Lines the Reader stops at (too long, holding a NUL, cut) come too, past with skip().
struct Line : collect_file::Line {
    std::uint64_t length = 0;  // bytes before its '\n' (or before the end), NULs included
    Ending ending = Ending::newline;
    bool tooLong = false;  // 2,048 bytes or more before its '\n': readers cannot deliver it
};

// Why next() returned false.
enum class Stop {
    reading,     // it did not yet
    end,         // the end of the input
    read_error,  // the input could not be read at stopOffset(); error() says why
};

// Lines one by one. The checks read any LineSource, so a test can feed them its own.
class LineSource {
  public:
    virtual ~LineSource() = default;
    // The next line, or false once reading stopped (see stop()).
    virtual bool next(Line& line) = 0;
    virtual Stop stop() const = 0;
    // After a stop: the first byte of the line that was not delivered (the input's length at
    // the end).
    virtual std::uint64_t stopOffset() const = 0;
    // After read_error: the system's reason, as strerror words it.
    virtual std::string error() const = 0;
    // After the end: how many bytes the input had when it was opened, if the end came before
    // them (a file that shrank while it was read); else 0.
    virtual std::uint64_t sizeNotReached() const { return 0; }
};

// A file by name, or standard input for "-", read through collect_file::Reader over a
// descriptor that the tool opened (or was given): no file is opened again by name, and nothing
// needs /proc. A regular file is read in place. Anything else, and standard input always, is
// read once, front to back, from where it stands as the shell gave it; offsets then count from
// that byte.
class InputFile final : public LineSource {
  public:
    InputFile() = default;
    ~InputFile() override;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens `path` to read lines from byte `from` on (a stream is read forward to it). False
    // with the reason in error() (the system's, or, when `from` lies past the end of a regular
    // file, pastEnd() true).
    bool open(const std::string& path, std::uint64_t from = 0);
    bool pastEnd() const { return pastEnd_; }
    // The size of a regular file read in place, when opened; 0 for a stream.
    std::uint64_t size() const { return size_; }
    // The byte before `from`, or -1 when from is 0 or it cannot be read: whether `from` starts
    // a line.
    int byteBeforeStart() const { return byteBeforeStart_; }

    bool next(Line& line) override {
        if (stop_ != Stop::reading) {
            return false;
        }
        if (!reader_.next(line)) {
            return lineNotWhole(line);
        }
        line.offset += base_;
        line.length = line.text.size();
        line.ending = Ending::newline;
        line.tooLong = false;
        return true;
    }
    Stop stop() const override { return stop_; }
    std::uint64_t stopOffset() const override { return stopOffset_; }
    std::string error() const override { return error_; }
    std::uint64_t sizeNotReached() const override {
        return stop_ == Stop::end && stopOffset_ < size_ ? size_ : 0;
    }

  private:
    bool fail(int error);
    void stopWith(Stop stop, std::uint64_t offset, const std::string& error = "");
    // After the Reader's next() returned false: a line it stopped at, past with skip() and
    // given as it is, with what it lacks; or false, reading stopped (the end or a read error).
    bool lineNotWhole(Line& line);
    // The byte at `offset` of a regular file, or -1.
    int byteAt(std::uint64_t offset) const;

    collect_file::Reader reader_;
    int descriptor_ = -1;
    bool ownDescriptor_ = false;
    bool regular_ = false;      // a regular file read in place
    std::uint64_t base_ = 0;    // added to the Reader's offsets, modulo 2^64
    std::uint64_t size_ = 0;    // a regular file's size when opened
    int byteBeforeStart_ = -1;  // see byteBeforeStart()
    Stop stop_ = Stop::reading;
    std::uint64_t stopOffset_ = 0;
    std::string error_;
    bool pastEnd_ = false;
};

}  // namespace collect_file_tool

#endif
