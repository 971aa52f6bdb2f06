#include "collect_file/CollectFileReaderWriter.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

const int32_t CollectFileReaderWriter::kWriteBufferCapacity;
const int32_t CollectFileReaderWriter::kLineReadLimit;
const int32_t CollectFileReaderWriter::kShortLineReadLimit;

namespace {

// Bytes that the refill after a seek outside the buffer reads, from a position aligned to its
// size: one page, and enough for any line that a text form delivers, so that going back to a
// recorded entry reads one small block. Later refills double until they take a whole buffer.
const size_t kSmallRefill = 4096;
// Bytes that every other refill reads: the whole of the stream's buffer but one byte, as the
// stream itself does.
const size_t kWholeRefill = CollectFileReaderWriter::kWriteBufferCapacity - 1;

// --- The one place that reaches into a standard library's internals -----------------------
//
// libstdc++'s basic_filebuf keeps its C file in the protected member _M_file, whose fd() gives
// the descriptor, and reads _M_buf_size - 1 bytes per refill. A derived class forms pointers to
// these protected members, which then apply to any std::filebuf. Other standard libraries
// (libc++) keep theirs private: the library then writes through the stream, leaves the
// descriptor as the stream opened it, and refills always take a whole buffer.
#if defined(__GLIBCXX__)
struct FileBufferAccess : std::filebuf {
    static int descriptor(std::filebuf* buffer) {
        return (buffer->*&FileBufferAccess::_M_file).fd();
    }
    static size_t& refillSize(std::filebuf* buffer) {
        return buffer->*&FileBufferAccess::_M_buf_size;
    }
};
// The file stream's descriptor, or -1 when the stream has none or does not tell it.
int descriptorOf(std::filebuf* buffer) {
    return buffer->is_open() ? FileBufferAccess::descriptor(buffer) : -1;
}
// Whether refills can be made smaller than the buffer.
const bool kSmallRefills = true;
// How many bytes the next refill reads.
size_t refillSize(std::filebuf* buffer) {
    return FileBufferAccess::refillSize(buffer) - 1;
}
// Makes the next refill read `bytes` bytes, at most the buffer's size less one.
void setRefill(std::filebuf* buffer, size_t bytes) {
    FileBufferAccess::refillSize(buffer) = bytes + 1;
}
#else
int descriptorOf(std::filebuf* /*buffer*/) {
    return -1;
}
const bool kSmallRefills = false;
size_t refillSize(std::filebuf* /*buffer*/) {
    return kWholeRefill;
}
void setRefill(std::filebuf* /*buffer*/, size_t /*bytes*/) {}
#endif

// Whether a path holds a NUL byte: the system would act on the part before it, another file.
bool holdsNul(const std::string& path) {
    return path.find('\0') != std::string::npos;
}

}  // namespace

CollectFileReaderWriter::CollectFileReaderWriter()
    : statusFlag(false),
      accessMode(ACCESS_NONE),
      fileStream(),
      fileName(),
      readDelimiter('\n'),
      typeTable1(),
      typeTable2(),
      // writeBuffer and secondBuffer are left as they are: no byte of either is read before it
      // is written.
      nameTable(),
      presetValue(1000),
      bufferedLength(0),
      auxValue2(0) {
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
    // A path that holds a NUL names no file; the system would see only the part before it.
    if (holdsNul(filePath)) {
        fileStream.setstate(std::ios_base::failbit);
        return false;
    }
    // A successful open clears every condition an earlier attempt or read left; a failed one
    // adds the failed condition.
    const std::ios_base::iostate before = fileStream.rdstate();
    fileStream.open(filePath, flags);
    if (fileStream.fail()) {
        return false;
    }
    const int descriptor = descriptorOf(fileStream.rdbuf());
    struct stat status;
    const bool examined =
        descriptor >= 0 ? fstat(descriptor, &status) == 0 : stat(filePath.c_str(), &status) == 0;
    // A directory opens for input but can never be read: refuse it as the writing modes do. A
    // file that cannot be examined, or whose descriptor would pass to child processes started
    // with exec, is refused too. Each leaves the stream as a failed open would.
    if (!examined || S_ISDIR(status.st_mode) ||
        (descriptor >= 0 && fcntl(descriptor, F_SETFD, FD_CLOEXEC) != 0)) {
        fileStream.close();
        fileStream.clear(before | std::ios_base::failbit);
        return false;
    }
    setRegularFile(S_ISREG(status.st_mode));
    fileName = filePath;
    accessMode = requestedMode;
    setTrackedPosition(0);  // reads start at the beginning of the file
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
    // A closed stream holds no bytes to seek among.
    forgetPosition();
    setRegularFile(false);
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
    return !holdsNul(fileName) && access(fileName.c_str(), F_OK) == 0;
}

bool CollectFileReaderWriter::RemoveFile() {
    if (accessMode == ACCESS_NONE || holdsNul(fileName)) {
        return false;
    }
    return std::remove(fileName.c_str()) == 0;
}

uint64_t CollectFileReaderWriter::getFileSize(std::string filePath) {
    struct stat status;
    if (holdsNul(filePath) || stat(filePath.c_str(), &status) != 0) {
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
    static char* begin(std::streambuf* buffer) { return (buffer->*&GetArea::eback)(); }
    static char* next(std::streambuf* buffer) { return (buffer->*&GetArea::gptr)(); }
    static char* end(std::streambuf* buffer) { return (buffer->*&GetArea::egptr)(); }
    static void consume(std::streambuf* buffer, size_t n) {
        (buffer->*&GetArea::gbump)(static_cast<int>(n));
    }
    // Moves the next byte to read to `next`, inside the get area.
    static void moveTo(std::streambuf* buffer, char* next) {
        (buffer->*&GetArea::setg)(begin(buffer), next, end(buffer));
    }
};

// The first byte in [bytes, bytes + n) that is `a` or `b`, or nullptr, by two memchr passes:
// the C library's own scan, fastest over long runs.
__attribute__((noinline)) const char* findEitherByMemchr(const char* bytes, size_t n, char a,
                                                         char b) {
    const void* first = std::memchr(bytes, a, n);
    const size_t before = first != nullptr ? static_cast<const char*>(first) - bytes : n;
    const void* second = std::memchr(bytes, b, before);
    return static_cast<const char*>(second != nullptr ? second : first);
}

// The first byte in [bytes, bytes + n) that is `a` or `b`, or nullptr: one pass over the bytes.
inline const char* findEitherInOnePass(const char* bytes, size_t n, char a, char b) {
#if defined(__SSE2__)
    const __m128i wantA = _mm_set1_epi8(a);
    const __m128i wantB = _mm_set1_epi8(b);
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        const int hits = _mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(chunk, wantA), _mm_cmpeq_epi8(chunk, wantB)));
        if (hits != 0) {
            return bytes + i + __builtin_ctz(static_cast<unsigned>(hits));
        }
    }
    if (i < n && n >= 16) {
        // The last 16 bytes again, overlapping what was scanned; only the new ones count.
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + n - 16));
        const unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
                                  _mm_cmpeq_epi8(chunk, wantA), _mm_cmpeq_epi8(chunk, wantB)))) >>
                              (16 - (n - i));
        return hits != 0 ? bytes + i + __builtin_ctz(hits) : nullptr;
    }
    for (; i < n; ++i) {
        if (bytes[i] == a || bytes[i] == b) {
            return bytes + i;
        }
    }
    return nullptr;
#else
    return findEitherByMemchr(bytes, n, a, b);
#endif
}

// Bytes that findEither scans in one pass before it leaves a long line to memchr.
const size_t kOnePassScan = 256;

// The first byte in [bytes, bytes + n) that is `a` or `b`, or nullptr. Most lines end within
// the first kOnePassScan bytes, found in one pass; the rest of a longer one goes to memchr.
inline const char* findEither(const char* bytes, size_t n, char a, char b) {
    const size_t first = std::min(n, kOnePassScan);
    const char* found = findEitherInOnePass(bytes, first, a, b);
    if (found != nullptr || first == n) {
        return found;
    }
    return findEitherByMemchr(bytes + first, n - first, a, b);
}

// Index of the first `delimiter` in [bytes, bytes + n), or n.
inline size_t indexOf(const char* bytes, size_t n, char delimiter) {
    const void* found = std::memchr(bytes, delimiter, n);
    return found != nullptr ? static_cast<size_t>(static_cast<const char*>(found) - bytes) : n;
}

// Each sink takes a run of a line's bytes from the stream's buffer: take() finds the delimiter
// in [bytes, bytes + n), stores what comes before it, and returns its index (n when the run
// holds none). finish() ends the line.

// Stores the bytes into a caller's array, then a terminating NUL.
struct ArraySink {
    char* array;
    size_t stored = 0;

    explicit ArraySink(char* destination) : array(destination) {}
    size_t take(const char* bytes, size_t n, char delimiter) {
        const size_t length = indexOf(bytes, n, delimiter);
        std::memcpy(array + stored, bytes, length);
        stored += length;
        return length;
    }
    void finish() { array[stored] = '\0'; }
};

// Builds a line's delivered text straight from the stream's buffer. The text ends at the line's
// first NUL byte, found in the same pass as the delimiter; the target is only touched once a
// byte arrives.
struct TextSink {
    std::string& text;
    bool started = false;
    bool ended = false;  // a NUL ended the text; the rest of the line is only skipped

    explicit TextSink(std::string& target) : text(target) {}
    size_t take(const char* bytes, size_t n, char delimiter) {
        if (ended) {
            return indexOf(bytes, n, delimiter);
        }
        const char* stop = findEither(bytes, n, delimiter, '\0');
        const size_t length = stop != nullptr ? static_cast<size_t>(stop - bytes) : n;
        if (started) {
            text.append(bytes, length);
        } else {
            text.assign(bytes, length);
            started = true;
        }
        if (stop == nullptr || *stop == delimiter) {
            return length;
        }
        ended = true;
        return length + 1 + indexOf(stop + 1, n - length - 1, delimiter);
    }
    void finish() {}
};

// Drops the line.
struct DiscardSink {
    size_t take(const char* bytes, size_t n, char delimiter) {
        return indexOf(bytes, n, delimiter);
    }
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
                // After the small block that followed a seek, each refill doubles.
                const size_t refill = refillSize(fileStream.rdbuf());
                if (refill < kWholeRefill) {
                    setRefill(fileStream.rdbuf(), std::min(2 * refill, kWholeRefill));
                }
                if (Traits::eq_int_type(buffer->sgetc(), Traits::eof())) {
                    state |= std::ios_base::eofbit;
                    break;
                }
                continue;
            }
            const size_t scanned = std::min(available, room);
            const size_t length = sink.take(next, scanned, delimiter);
            if (length < scanned) {
                GetArea::consume(buffer, length + 1);
                extracted += static_cast<int64_t>(length + 1);
                break;
            }
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
    if (positionKnown()) {
        setTrackedPosition(trackedPosition() + static_cast<uint64_t>(extracted));
    }
    if (state != std::ios_base::goodbit) {
        fileStream.setstate(state);
    }
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
    if (!positionKnown()) {
        // The stream reports no position at the end of the file: ask with the conditions
        // lifted, then put them back.
        const std::ios_base::iostate state = fileStream.rdstate();
        fileStream.clear();
        const int64_t position = static_cast<int64_t>(fileStream.tellg());
        fileStream.clear(state);
        if (position < 0) {
            return -1;
        }
        setTrackedPosition(static_cast<uint64_t>(position));
    }
    return static_cast<int64_t>(trackedPosition());
}

bool CollectFileReaderWriter::readLine(std::string& line) {
    readText(line);
    return !fileStream.fail();
}

bool CollectFileReaderWriter::readLine(std::string& line, unsigned long& offset) {
    if (!readText(line)) {
        return false;
    }
    bool ok = !fileStream.fail();
    int64_t positionAfterDelimiter = -1;
    if (ok) {
        const int64_t position = readPosition();
        if (position < 0) {
            // No offset without a position: the read fails as a read error does.
            fileStream.setstate(std::ios_base::badbit);
            ok = false;
        } else {
            // A last line without a delimiter counts the delimiter it lacks.
            positionAfterDelimiter = position + (fileStream.eof() ? 1 : 0);
        }
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
    if (seekWithinBuffer(offset, origin)) {
        return true;
    }
    // A stream that reached the end or failed cannot move: it is left failed and no longer at
    // the end of the file. A healthy stream moves from where it is.
    if (!fileStream.good()) {
        fileStream.clear((fileStream.rdstate() & ~std::ios_base::eofbit) | std::ios_base::failbit);
    }
    if (origin == SEEK_FROM_START && fileStream.good() && seeksBySmallBlock(offset)) {
        return seekBySmallBlock(offset);
    }
    std::ios_base::seekdir direction = std::ios_base::cur;
    if (origin == SEEK_FROM_START) {
        direction = std::ios_base::beg;
    } else if (origin == SEEK_FROM_END) {
        direction = std::ios_base::end;
    }
    // Same bits as a signed offset, so values above 2^63 - 1 count backwards. Reading there goes
    // on in whole buffers, whatever an earlier small block left.
    fileStream.seekg(static_cast<std::streamoff>(offset), direction);
    setRefill(fileStream.rdbuf(), kWholeRefill);
    if (fileStream.fail()) {
        forgetPosition();
        return false;
    }
    // From the start the new position is the offset itself; otherwise it is asked of the
    // stream when next needed.
    if (origin == SEEK_FROM_START) {
        setTrackedPosition(offset);
    } else {
        forgetPosition();
    }
    return true;
}

bool CollectFileReaderWriter::seeksBySmallBlock(uint64_t target) {
    // Near the largest position a small block would meet the end of the file where a whole one
    // fails with a read error, so there reading stays as it is.
    if (!kSmallRefills || accessMode != ACCESS_READ || !isRegularFile() ||
        target > static_cast<uint64_t>(INT64_MAX) - kWholeRefill) {
        return false;
    }
    // A target less than a whole buffer past the bytes held continues a walk through the file:
    // whole refills serve it better.
    if (positionKnown()) {
        std::streambuf* buffer = fileStream.rdbuf();
        const uint64_t heldEnd =
            trackedPosition() + static_cast<uint64_t>(GetArea::end(buffer) - GetArea::next(buffer));
        if (target >= heldEnd && target - heldEnd < kWholeRefill) {
            return false;
        }
    }
    return true;
}

bool CollectFileReaderWriter::seekBySmallBlock(uint64_t target) {
    std::streambuf* buffer = fileStream.rdbuf();
    const uint64_t blockStart = target & ~static_cast<uint64_t>(kSmallRefill - 1);
    fileStream.seekg(static_cast<std::streamoff>(blockStart), std::ios_base::beg);
    setRefill(fileStream.rdbuf(), kSmallRefill);
    bool read = false;
    if (!fileStream.fail()) {
        try {
            buffer->sgetc();
            read = true;
        } catch (const std::exception&) {
            // A read error: the seek goes on as below, and the next read meets the error.
        }
    }
    const uint64_t held = static_cast<uint64_t>(GetArea::end(buffer) - GetArea::begin(buffer));
    if (read && held >= target - blockStart) {
        GetArea::moveTo(buffer, GetArea::begin(buffer) + (target - blockStart));
    } else {
        // The file ends before the target, could not be read, or refused the block's position:
        // stand at the target itself, or fail as a plain seek there would.
        fileStream.seekg(static_cast<std::streamoff>(target), std::ios_base::beg);
        setRefill(fileStream.rdbuf(), kSmallRefill);
        if (fileStream.fail()) {
            forgetPosition();
            return false;
        }
    }
    setTrackedPosition(target);
    return true;
}

bool CollectFileReaderWriter::seekWithinBuffer(uint64_t offset, SeekPosition origin) {
    // Only a target known without a system call, on a healthy stream reading a regular file
    // (a pipe cannot go back, and a writer's stream holds no bytes to read).
    if (origin == SEEK_FROM_END || !positionKnown() || accessMode != ACCESS_READ ||
        !isRegularFile() || !fileStream.good()) {
        return false;
    }
    std::streambuf* buffer = fileStream.rdbuf();
    char* const begin = GetArea::begin(buffer);
    if (begin == nullptr) {
        return false;
    }
    const uint64_t position = trackedPosition();
    // Modular arithmetic: an offset above 2^63 - 1 counts backwards from the current position.
    const uint64_t target = origin == SEEK_FROM_START ? offset : position + offset;
    const uint64_t first = position - static_cast<uint64_t>(GetArea::next(buffer) - begin);
    const uint64_t held = static_cast<uint64_t>(GetArea::end(buffer) - begin);
    if (target < first || target - first > held) {
        return false;
    }
    GetArea::moveTo(buffer, begin + (target - first));
    setTrackedPosition(target);
    return true;
}

bool CollectFileReaderWriter::seek(unsigned long offset) {
    return seek(offset, SEEK_FROM_START);
}

bool CollectFileReaderWriter::seek(const char* /*name*/) {
    return !fileStream.fail();
}
