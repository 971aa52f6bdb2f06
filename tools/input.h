// Where lines come from: a file or a stream, read through collect_file::Reader as any client
// reads it, with what the tool needs on top: each line's length and how it ends, and why
// reading stopped.

#ifndef COLLECT_FILE_TOOL_INPUT_H
#define COLLECT_FILE_TOOL_INPUT_H

#include <collect_file/collect_file.h>

#include <cstdint>
#include <memory>
#include <string>

#include "pump.h"

namespace collect_file_tool {

// How a line ends.
enum class Ending {
    newline,  // with its '\n'
    none,     // at the end of the input, without '\n' (a cut last line)
    grew,     // at what was the end when it was read; bytes came after it since (an appender)
};

// A line as the library's Reader delivers it (text: what readers get, the bytes before the
// first NUL; offset: its first byte), read into directly, and what the tool adds.
struct Line : collect_file::Line {
    std::uint64_t length = 0;  // bytes before its '\n' (or before the end), NULs included
    Ending ending = Ending::newline;
};

// Why next() returned false.
enum class Stop {
    reading,     // it did not yet
    end,         // the end of the input
    too_long,    // a line of 2,048 bytes or more, at stopOffset(): readers stop there
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

// A file by name, or standard input for "-". A regular file is opened once and the library
// reads that very file (through a duplicate of its descriptor). Everything else, and standard input
// always, is read from where it stands, as the shell gave it, through a Pump; offsets then count
// from that first byte.
class InputFile final : public LineSource {
  public:
    InputFile() = default;
    ~InputFile() override;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens `path` to read lines from byte `from` on. False with the reason in error() (the
    // system's, or, when `from` lies past the end of a regular file, pastEnd() true).
    bool open(const std::string& path, std::uint64_t from = 0);
    bool pastEnd() const { return pastEnd_; }
    // The size of a regular file when opened; 0 for a stream.
    std::uint64_t size() const { return size_; }
    // The byte before `from`, or -1 when from is 0 or it cannot be read: whether `from` starts
    // a line.
    int byteBeforeStart();
    // After a too_long stop in a regular file: what readers get of that line (its first
    // 2,047 bytes, up to a NUL) into `text`. False for a stream, whose bytes are gone.
    bool tooLongLineStart(std::string& text);

    bool next(Line& line) override {
        if (stop_ != Stop::reading) {
            return false;
        }
        if (!reader_.next(line) && !takeLineNotWhole()) {
            readerStopped();
            return false;
        }
        line.offset += base_;
        const std::uint64_t end = base_ + reader_.position();
        line.length = end - line.offset - 1;
        line.ending = Ending::newline;
        // A line that ends inside a regular file as it was opened, and has room for its '\n',
        // ended with it; the others are looked at in the bytes (size_ is 0 for a stream).
        return (end < size_ && line.length >= line.text.size()) || lineEnding(line, end);
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
    // How the line whose next line starts at `end` ends, for a stream or a regular file's last
    // line; false when reading stopped there.
    bool lineEnding(Line& line, std::uint64_t end);
    // A stream: how the line whose next line starts at `end` ends; false, stopped with the
    // copy's error, when the copy failed before its '\n'.
    bool streamEnding(Line& line, std::uint64_t end);
    // A regular file: how the line whose next line starts at `end`, at or past the size it
    // had when opened, ends, from the file's own bytes; false, stopped with the system's
    // reason, when they cannot be read.
    bool fileEnding(Line& line, std::uint64_t end);
    // After the Reader stopped at a line holding a NUL or a last line without '\n', which the
    // checks look at like any other line: true when it goes on after that line, the line's
    // offset and what readers get of it left in the Line it was reading into.
    bool takeLineNotWhole();
    // After the Reader stopped: why, and where.
    void readerStopped();

    collect_file::Reader reader_;
    std::unique_ptr<Pump> pump_;
    int descriptor_ = -1;
    bool ownDescriptor_ = false;
    std::uint64_t from_ = 0;
    std::uint64_t base_ = 0;  // added to the Reader's offsets: from_ for a stream, else 0
    std::uint64_t size_ = 0;
    std::uint64_t passedKnown_ = 0;  // a stream: bytes known to be in the copy
    Stop stop_ = Stop::reading;
    std::uint64_t stopOffset_ = 0;
    std::string error_;
    bool pastEnd_ = false;
};

}  // namespace collect_file_tool

#endif
