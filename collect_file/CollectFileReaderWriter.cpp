#include "collect_file/CollectFileReaderWriter.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

const int32_t CollectFileReaderWriter::kWriteBufferCapacity;
const int32_t CollectFileReaderWriter::kLineReadLimit;
const int32_t CollectFileReaderWriter::kShortLineReadLimit;

namespace {

// The file stream's descriptor, or -1 when the stream has none or does not tell it.
//
// This is the one place that reaches into a standard library's internals. libstdc++'s
// basic_filebuf keeps its C file in the protected member _M_file, whose fd() gives the
// descriptor; a derived class forms the pointer to that member, which then applies to any
// std::filebuf. Other standard libraries (libc++) keep theirs private: the library then writes
// through the stream and leaves the descriptor as the stream opened it.
#if defined(__GLIBCXX__)
struct DescriptorAccess : std::filebuf {
    static int of(std::filebuf* buffer) { return (buffer->*&DescriptorAccess::_M_file).fd(); }
};
int descriptorOf(std::filebuf* buffer) {
    return buffer->is_open() ? DescriptorAccess::of(buffer) : -1;
}
#else
int descriptorOf(std::filebuf* /*buffer*/) {
    return -1;
}
#endif

}  // namespace

CollectFileReaderWriter::CollectFileReaderWriter()
    : statusFlag(false),
      accessMode(ACCESS_NONE),
      fileStream(),
      fileName(),
      readDelimiter('\n'),
      typeTable1(),
      typeTable2(),
      writeBuffer(),
      secondBuffer(),
      nameTable(),
      presetValue(1000),
      bufferedLength(0) {
    // The stream reads and writes through the object's second 64 KiB array rather than a small
    // buffer of its own, so that reading takes one system call per 64 KiB.
    fileStream.rdbuf()->pubsetbuf(secondBuffer, sizeof secondBuffer);
}

CollectFileReaderWriter::~CollectFileReaderWriter() {
    if (fileStream.is_open()) {
        Close();
    }
    auxValue1 = 0;
    auxValue2 = 0;
}

// --- Lifecycle -----------------------------------------------------------------------------

bool CollectFileReaderWriter::OpenFile(const std::string& filePath, AccessMode requestedMode) {
    if (accessMode != ACCESS_NONE) {
        return false;
    }
    std::ios_base::openmode flags;
    switch (requestedMode) {
        case ACCESS_READ:
            flags = std::ios_base::in;
            break;
        case ACCESS_WRITE:
            flags = std::ios_base::out;
            break;
        case ACCESS_APPEND:
            flags = std::ios_base::out | std::ios_base::app;
            break;
        default:
            return false;
    }
    // A directory opens for input but can never be read: refuse it as the writing modes do.
    struct stat status;
    if (stat(filePath.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        fileStream.setstate(std::ios_base::failbit);
        return false;
    }
    // A successful open clears every condition an earlier attempt or read left; a failed one
    // adds the failed condition.
    fileStream.open(filePath, flags);
    if (fileStream.fail()) {
        return false;
    }
    // Child processes started with exec must not inherit the file.
    const int descriptor = descriptorOf(fileStream.rdbuf());
    if (descriptor >= 0) {
        fcntl(descriptor, F_SETFD, fcntl(descriptor, F_GETFD) | FD_CLOEXEC);
    }
    fileName = filePath;
    accessMode = requestedMode;
    statusFlag = true;  // reads start at the beginning of the file
    auxValue1 = 0;
    return true;
}

bool CollectFileReaderWriter::Close() {
    switch (accessMode) {
        case ACCESS_READ:
            return closeStream();
        case ACCESS_WRITE:
        case ACCESS_APPEND: {
            const bool flushed = WriteDataToFile();
            const bool closed = closeStream();
            return flushed && closed;
        }
        default:
            return true;
    }
}

bool CollectFileReaderWriter::closeStream() {
    const bool wasOpen = fileStream.is_open();
    if (fileStream.rdbuf()->close() != nullptr) {
        return true;
    }
    // Closing a stream that is not open marks it failed, as a failed close does, so a repeated
    // Close of a writing object reports false from its second flush on.
    fileStream.setstate(std::ios_base::failbit);
    return !wasOpen;
}

bool CollectFileReaderWriter::WriteDataToFile() {
    if (accessMode != ACCESS_WRITE && accessMode != ACCESS_APPEND) {
        return false;
    }
    iovec content = {writeBuffer, static_cast<size_t>(bufferedLength)};
    bufferedLength = 0;
    return writeToFile(&content, 1);
}

bool CollectFileReaderWriter::writeToFile(iovec* pieces, int count) {
    // Failure is sticky: a stream that failed once, in a read, a seek or a write, writes nothing.
    if (fileStream.fail()) {
        return false;
    }
    const int descriptor = descriptorOf(fileStream.rdbuf());
    if (descriptor < 0) {
        // No descriptor: a closed stream (which fails any byte), or a standard library that does
        // not tell it.
        for (int i = 0; i < count; ++i) {
            fileStream.write(static_cast<const char*>(pieces[i].iov_base),
                             static_cast<std::streamsize>(pieces[i].iov_len));
        }
        fileStream.flush();
        return !fileStream.fail();
    }
    // The stream itself never holds output, so nothing that failed here can be written again
    // by a later flush or by closing it.
    for (;;) {
        while (count > 0 && pieces->iov_len == 0) {
            ++pieces;
            --count;
        }
        if (count == 0) {
            return true;
        }
        const ssize_t written = ::writev(descriptor, pieces, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            fileStream.setstate(std::ios_base::badbit);
            return false;
        }
        // After a short write, go on from the first byte that did not arrive.
        for (size_t done = static_cast<size_t>(written); done > 0;) {
            const size_t step = std::min(done, pieces->iov_len);
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + step;
            pieces->iov_len -= step;
            done -= step;
            if (pieces->iov_len == 0) {
                ++pieces;
                --count;
            }
        }
    }
}

// --- File utilities ------------------------------------------------------------------------

void CollectFileReaderWriter::setFileName(const std::string& filePath) {
    fileName = filePath;
}

bool CollectFileReaderWriter::isFileExists() {
    return access(fileName.c_str(), F_OK) == 0;
}

bool CollectFileReaderWriter::RemoveFile() {
    if (accessMode == ACCESS_NONE) {
        return false;
    }
    return std::remove(fileName.c_str()) == 0;
}

uint64_t CollectFileReaderWriter::getFileSize(std::string filePath) {
    struct stat status;
    if (stat(filePath.c_str(), &status) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(status.st_size);
}

void CollectFileReaderWriter::setNewLineDelimiter(char delimiter) {
    readDelimiter = delimiter;
}

char CollectFileReaderWriter::getNewLineDelimiter() {
    return readDelimiter;
}

// --- Writing -------------------------------------------------------------------------------

void CollectFileReaderWriter::appendToBuffer(const char* text, uint64_t n) {
    int32_t length = bufferedLength;
    std::memcpy(writeBuffer + length, text, n);
    length += static_cast<int32_t>(n);
    // Buffered content is empty or ends with '\n', so an empty text needs a newline only in an
    // empty buffer; any other text needs one unless it ends with one.
    const bool endsWithNewline = n == 0 ? length > 0 : text[n - 1] == '\n';
    if (!endsWithNewline) {
        writeBuffer[length++] = '\n';
    }
    bufferedLength = length;
}

bool CollectFileReaderWriter::writeLine(const char* lineText) {
    if (lineText == nullptr) {
        return false;
    }
    const uint64_t n = std::strlen(lineText);
    // The text fits behind the buffered content.
    if (static_cast<uint64_t>(bufferedLength) + n <= kWriteBufferCapacity) {
        appendToBuffer(lineText, n);
        return true;
    }
    // The buffer is written out and the text starts a fresh one.
    if (!WriteDataToFile()) {
        return false;
    }
    if (n <= kWriteBufferCapacity) {
        appendToBuffer(lineText, n);
        return true;
    }
    // The text can never fit: it goes straight to the file together with its newline, in one
    // write, so that appenders in other processes never find their lines inside it.
    static const char newline[] = "\n";
    iovec pieces[2] = {{const_cast<char*>(lineText), static_cast<size_t>(n)},
                       {const_cast<char*>(newline), 1}};
    return writeToFile(pieces, lineText[n - 1] == '\n' ? 1 : 2);
}

// --- Reading -------------------------------------------------------------------------------

namespace {

using Traits = std::char_traits<char>;

// The protected get-area members of std::streambuf, reached through a derived class: a pointer
// to a protected member formed here applies to any std::streambuf.
struct GetArea : std::streambuf {
    static char* next(std::streambuf* buffer) { return (buffer->*&GetArea::gptr)(); }
    static char* end(std::streambuf* buffer) { return (buffer->*&GetArea::egptr)(); }
    static void consume(std::streambuf* buffer, size_t n) {
        (buffer->*&GetArea::gbump)(static_cast<int>(n));
    }
};

// Receives the stored bytes of a line into a caller's array, then its terminating NUL.
struct ArraySink {
    char* array;
    size_t stored = 0;

    explicit ArraySink(char* destination) : array(destination) {}
    void append(const char* bytes, size_t n) {
        std::memcpy(array + stored, bytes, n);
        stored += n;
    }
    void finish() { array[stored] = '\0'; }
};

// Builds a line's delivered text straight from the stream's buffer. The text ends at the line's
// first NUL byte; the target is only touched once a byte arrives.
struct TextSink {
    std::string& text;
    bool started = false;
    bool ended = false;

    explicit TextSink(std::string& target) : text(target) {}
    void append(const char* bytes, size_t n) {
        if (ended) {
            return;
        }
        if (const void* nul = std::memchr(bytes, '\0', n)) {
            n = static_cast<const char*>(nul) - bytes;
            ended = true;
        }
        if (started) {
            text.append(bytes, n);
        } else {
            text.assign(bytes, n);
            started = true;
        }
    }
    void finish() {}
};

// Drops the line.
struct DiscardSink {
    void append(const char*, size_t) {}
    void finish() {}
};

}  // namespace

template <class Sink>
void CollectFileReaderWriter::readBoundedLine(Sink& sink, int32_t limit) {
    if (!fileStream.good()) {
        fileStream.setstate(std::ios_base::failbit);
        sink.finish();
        return;
    }
    std::ios_base::iostate state = std::ios_base::goodbit;
    std::streambuf* buffer = fileStream.rdbuf();
    const char delimiter = readDelimiter;
    size_t room = static_cast<size_t>(limit) - 1;  // bytes that may still be stored
    int64_t extracted = 0;                         // bytes consumed, the delimiter included
    try {
        for (;;) {
            char* next = GetArea::next(buffer);
            size_t available = static_cast<size_t>(GetArea::end(buffer) - next);
            if (available == 0) {
                // Refill. A file stream's buffer then holds at least the byte sgetc() returned.
                if (Traits::eq_int_type(buffer->sgetc(), Traits::eof())) {
                    state |= std::ios_base::eofbit;
                    break;
                }
                continue;
            }
            const size_t scanned = std::min(available, room);
            if (const void* found = std::memchr(next, delimiter, scanned)) {
                const size_t n = static_cast<size_t>(static_cast<const char*>(found) - next);
                sink.append(next, n);
                GetArea::consume(buffer, n + 1);
                extracted += static_cast<int64_t>(n + 1);
                break;
            }
            sink.append(next, scanned);
            GetArea::consume(buffer, scanned);
            extracted += static_cast<int64_t>(scanned);
            room -= scanned;
            if (room == 0) {
                // Full: the line ends here only at its delimiter or at the end of the file.
                const Traits::int_type c = buffer->sgetc();
                if (Traits::eq_int_type(c, Traits::eof())) {
                    state |= std::ios_base::eofbit;
                } else if (Traits::to_char_type(c) == delimiter) {
                    buffer->sbumpc();
                    ++extracted;
                } else {
                    state |= std::ios_base::failbit;
                }
                break;
            }
        }
    } catch (const std::exception&) {  // the file buffer reports a read error by throwing
        state |= std::ios_base::badbit;
    } catch (...) {
        // The unwinding of a cancelled thread (blocked in read(2) on a pipe, say) must go on, or
        // the process aborts; the stream is left failed.
        fileStream.setstate(std::ios_base::badbit);
        throw;
    }
    if (extracted == 0) {
        state |= std::ios_base::failbit;
    }
    sink.finish();
    if (statusFlag) {
        auxValue1 += static_cast<uint64_t>(extracted);
    }
    fileStream.setstate(state);
}

bool CollectFileReaderWriter::readText(std::string& text) {
    TextSink sink(text);
    readBoundedLine(sink, kLineReadLimit);
    // The line read fails whenever it extracted nothing, so end of file without failure means
    // it consumed a last line that had no delimiter after it.
    const bool delivered = !fileStream.eof() || !fileStream.fail();
    if (delivered && !sink.started) {
        text.clear();
    }
    return delivered;
}

int64_t CollectFileReaderWriter::readPosition() {
    if (!statusFlag) {
        // The stream reports no position at the end of the file: ask with the conditions
        // lifted, then put them back.
        const std::ios_base::iostate state = fileStream.rdstate();
        fileStream.clear();
        auxValue1 = static_cast<uint64_t>(static_cast<int64_t>(fileStream.tellg()));
        fileStream.clear(state);
        statusFlag = static_cast<int64_t>(auxValue1) >= 0;
    }
    return static_cast<int64_t>(auxValue1);
}

bool CollectFileReaderWriter::readLine(std::string& line) {
    readText(line);
    return !fileStream.fail();
}

bool CollectFileReaderWriter::readLine(std::string& line, unsigned long& offset) {
    if (!readText(line)) {
        return false;
    }
    const bool ok = !fileStream.fail();
    int64_t positionAfterDelimiter = -1;
    if (ok) {
        // A last line without a delimiter counts the delimiter it lacks.
        positionAfterDelimiter = readPosition() + (fileStream.eof() ? 1 : 0);
    }
    offset = static_cast<uint64_t>(positionAfterDelimiter) - line.size() - 2;
    return ok;
}

std::string CollectFileReaderWriter::readLine(bool& ok) {
    std::string result;
    readText(result);
    ok = !fileStream.fail();
    return result;
}

bool CollectFileReaderWriter::readLine(char* lineBuffer) {
    if (lineBuffer == nullptr) {
        return true;
    }
    ArraySink sink(lineBuffer);
    readBoundedLine(sink, kShortLineReadLimit);
    return fileStream.fail();
}

bool CollectFileReaderWriter::ReadDataFromFile() {
    if (accessMode != ACCESS_READ) {
        return false;
    }
    DiscardSink sink;
    do {
        readBoundedLine(sink, kLineReadLimit);
    } while (fileStream.good());
    return fileStream.eof();
}

// --- Positioning ---------------------------------------------------------------------------

bool CollectFileReaderWriter::seek(unsigned long offset, SeekPosition origin) {
    // A stream that reached the end or failed cannot move: it is left failed and no longer at
    // the end of the file. A healthy stream moves from where it is.
    if (!fileStream.good()) {
        fileStream.clear((fileStream.rdstate() & ~std::ios_base::eofbit) | std::ios_base::failbit);
    }
    std::ios_base::seekdir direction = std::ios_base::cur;
    if (origin == SEEK_FROM_START) {
        direction = std::ios_base::beg;
    } else if (origin == SEEK_FROM_END) {
        direction = std::ios_base::end;
    }
    // Same bits as a signed offset, so values above 2^63 - 1 count backwards.
    fileStream.seekg(static_cast<std::streamoff>(offset), direction);
    statusFlag = false;  // the read position is asked of the stream when next needed
    return !fileStream.fail();
}

bool CollectFileReaderWriter::seek(unsigned long offset) {
    return seek(offset, SEEK_FROM_START);
}

bool CollectFileReaderWriter::seek(const char* /*name*/) {
    return !fileStream.fail();
}
