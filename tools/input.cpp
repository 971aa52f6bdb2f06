#include "input.h"

#include <collect_file/CollectFileReaderWriter.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cstring>

namespace collect_file_tool {

namespace {

// Why the copy of a stream ended early, in the system's words.
std::string copyError(const Pump::Facts& facts) {
    const std::string reason = std::strerror(facts.error);
    return facts.failed[0] == '\0'
               ? reason
               : std::string("copying the input failed (") + facts.failed + "): " + reason;
}

}  // namespace

InputFile::~InputFile() {
    reader_ = collect_file::Reader();  // closes its end of the copy first, so the copy ends
    pump_.reset();
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

bool InputFile::open(const std::string& path, std::uint64_t from) {
    from_ = from;
    const bool standardInput = path == "-";
    descriptor_ = standardInput ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ownDescriptor_ = !standardInput && descriptor_ >= 0;
    struct stat status;
    if (descriptor_ < 0 || fstat(descriptor_, &status) != 0) {
        return fail(errno);
    }
    if (S_ISDIR(status.st_mode)) {
        return fail(EISDIR);
    }
    // A regular file with a size is read in place. One without (a /proc file, say) reports no
    // size to seek by, and is read once, as a stream; so is standard input, from where it
    // stands and whoever may open it by name.
    if (!standardInput && S_ISREG(status.st_mode) && status.st_size > 0) {
        size_ = static_cast<std::uint64_t>(status.st_size);
        if (from >= size_ && from > 0) {
            pastEnd_ = true;
            return false;
        }
        if (const std::error_code error = reader_.open(descriptor_)) {
            error_ = error.message();
            return false;
        }
        if (from > 0) {
            if (const std::error_code error = reader_.seek(from)) {
                error_ = error.message();
                return false;
            }
        }
        return true;
    }
    pump_.reset(new Pump(descriptor_, from));
    base_ = from;
    const int readEnd = pump_->start();
    if (readEnd < 0) {
        return fail(errno);
    }
    const std::error_code error = reader_.open(readEnd);
    ::close(readEnd);
    if (error) {
        error_ = error.message();
        return false;
    }
    return true;
}

int InputFile::byteBeforeStart() {
    if (from_ == 0) {
        return -1;
    }
    if (pump_) {
        return pump_->facts().byteBeforeSkip;
    }
    unsigned char byte = 0;
    return ::pread(descriptor_, &byte, 1, static_cast<off_t>(from_ - 1)) == 1 ? byte : -1;
}

bool InputFile::tooLongLineStart(std::string& text) {
    if (pump_ || stop_ != Stop::too_long) {
        return false;
    }
    text.assign(CollectFileReaderWriter::kLineReadLimit - 1, '\0');
    const ssize_t n = ::pread(descriptor_, &text[0], text.size(), static_cast<off_t>(stopOffset_));
    if (n < 0) {
        return false;
    }
    text.resize(std::strlen(text.c_str()));
    return true;
}

bool InputFile::lineEnding(Line& line, std::uint64_t end) {
    return pump_ ? streamEnding(line, end) : fileEnding(line, end);
}

bool InputFile::streamEnding(Line& line, std::uint64_t end) {
    const std::uint64_t relativeEnd = end - from_;
    // Fewer bytes than this went into the copy when the facts were last asked for; a line
    // that ends before them ended with its '\n'.
    if (relativeEnd < passedKnown_) {
        return true;
    }
    const Pump::Facts facts = pump_->facts();
    passedKnown_ = facts.total > from_ ? facts.total - from_ : 0;
    assert(relativeEnd <= passedKnown_ && "the reader got no byte that the copy did not pass");
    if (relativeEnd < passedKnown_ || facts.lastByte == '\n') {
        return true;
    }
    // The line ends where the copy ended, without '\n': the copy is over.
    if (facts.error != 0) {
        stopWith(Stop::read_error, line.offset, copyError(facts));
        return false;
    }
    line.length = end - line.offset;
    line.ending = Ending::none;
    return true;
}

bool InputFile::fileEnding(Line& line, std::uint64_t end) {
    unsigned char bytes[2];
    const ssize_t n = ::pread(descriptor_, bytes, sizeof bytes, static_cast<off_t>(end - 1));
    if (n < 0) {
        stopWith(Stop::read_error, line.offset, std::strerror(errno));
        return false;
    }
    if (n > 0 && bytes[0] == '\n') {
        return true;
    }
    line.length = end - line.offset;
    // Bytes after the line's end came since it was read, or the line ends past the size the
    // file had when it was opened: either way an appender wrote it, perhaps still a page at a
    // time, and it was caught part-way; only a line at an end the file had from the start is
    // cut.
    line.ending = n == 2 || end > size_ ? Ending::grew : Ending::none;
    return true;
}

bool InputFile::takeLineNotWhole() {
    const std::error_code error = reader_.error();
    return (error == collect_file::errc::nul_in_line ||
            error == collect_file::errc::unterminated_line) &&
           !reader_.skip();
}

void InputFile::readerStopped() {
    const std::uint64_t at = base_ + reader_.position();
    const std::error_code error = reader_.error();
    if (error == collect_file::errc::line_too_long) {
        stopWith(Stop::too_long, at);
    } else if (error) {
        stopWith(Stop::read_error, at, error.message());
    } else if (pump_ && pump_->facts().error != 0) {
        stopWith(Stop::read_error, at, copyError(pump_->facts()));
    } else {
        stopWith(Stop::end, at);
    }
}

}  // namespace collect_file_tool
