#include "collect_file/CollectFileReaderWriter.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "collect_file/internal/line_scan.h"
#include "collect_file/internal/read_cursor.h"
#include "collect_file/internal/refill_policy.h"
#include "collect_file/internal/stream_buffer.h"

using collect_file_internal::ArraySink;
using collect_file_internal::descriptorOf;
using collect_file_internal::DiscardSink;
using collect_file_internal::findEither;
using collect_file_internal::GetArea;
using collect_file_internal::ReadCursor;
using collect_file_internal::RefillPolicy;
using collect_file_internal::TextSink;

const int32_t CollectFileReaderWriter::kWriteBufferCapacity;
const int32_t CollectFileReaderWriter::kLineReadLimit;
const int32_t CollectFileReaderWriter::kShortLineReadLimit;

namespace {

// The object's members in their declared order, as a plain struct: clients allocate the object,
// so its layout is part of the binary interface. The constructor checks every member's offset
// against it, so that moving a member, or swapping two of one size, fails the build.
struct FrozenLayout {
    bool statusFlag;
    AccessMode accessMode;
    std::fstream fileStream;
    std::string fileName;
    char readDelimiter;
    std::map<EntryType, uint64_t> typeTable1;
    std::map<EntryType, uint64_t> typeTable2;
    char writeBuffer[65536 + 1];
    char secondBuffer[65536];
    std::map<std::string, uint64_t> nameTable;
    int32_t presetValue;
    int32_t bufferedLength;
    uint64_t auxValue1;
    uint64_t auxValue2;
};

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
    static_assert(sizeof secondBuffer == RefillPolicy::kBufferSize, "the stream's buffer");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"  // the class is not standard-layout
#define COLLECT_FILE_AT_ITS_PLACE(member)                                                        \
    static_assert(offsetof(CollectFileReaderWriter, member) == offsetof(FrozenLayout, member) && \
                      sizeof(member) == sizeof(FrozenLayout::member),                            \
                  "the layout of the object changed at " #member)
    COLLECT_FILE_AT_ITS_PLACE(statusFlag);
    COLLECT_FILE_AT_ITS_PLACE(accessMode);
    COLLECT_FILE_AT_ITS_PLACE(fileStream);
    COLLECT_FILE_AT_ITS_PLACE(fileName);
    COLLECT_FILE_AT_ITS_PLACE(readDelimiter);
    COLLECT_FILE_AT_ITS_PLACE(typeTable1);
    COLLECT_FILE_AT_ITS_PLACE(typeTable2);
    COLLECT_FILE_AT_ITS_PLACE(writeBuffer);
    COLLECT_FILE_AT_ITS_PLACE(secondBuffer);
    COLLECT_FILE_AT_ITS_PLACE(nameTable);
    COLLECT_FILE_AT_ITS_PLACE(presetValue);
    COLLECT_FILE_AT_ITS_PLACE(bufferedLength);
    COLLECT_FILE_AT_ITS_PLACE(auxValue1);
    COLLECT_FILE_AT_ITS_PLACE(auxValue2);
#undef COLLECT_FILE_AT_ITS_PLACE
#pragma GCC diagnostic pop
    static_assert(sizeof(CollectFileReaderWriter) == sizeof(FrozenLayout) &&
                      alignof(CollectFileReaderWriter) == alignof(FrozenLayout),
                  "the layout of the object changed at its end");
    fileStream.rdbuf()->pubsetbuf(secondBuffer, sizeof secondBuffer);
}

CollectFileReaderWriter::~CollectFileReaderWriter() {
    if (fileStream.is_open()) {
        Close();
    }
    auxValue1 = 0;
    auxValue2 = 0;
}

ReadCursor CollectFileReaderWriter::readCursor() {
    return ReadCursor(statusFlag, auxValue1, auxValue2, fileStream.rdbuf());
}

bool CollectFileReaderWriter::positionKnown() const {
    return statusFlag;
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
    // adds the failed condition. The descriptor is close-on-exec from the open on.
    const std::ios_base::iostate before = fileStream.rdstate();
    if (!collect_file_internal::openCloseOnExec(fileStream.rdbuf(), filePath.c_str(), flags)) {
        fileStream.setstate(std::ios_base::failbit);
        return false;
    }
    fileStream.clear();
    // The writing modes are done: open(2) itself refuses a directory for writing, and nothing
    // may fail after ACCESS_WRITE has emptied the file. For reading, a directory opens but can
    // never be read: it is refused as the writing modes refuse it, and so is a file that cannot
    // be examined, each leaving the stream as a failed open would. Seeks need to know whether
    // the file is a regular one.
    if (requestedMode == ACCESS_READ) {
        const int descriptor = descriptorOf(fileStream.rdbuf());
        struct stat status;
        const bool examined = descriptor >= 0 ? fstat(descriptor, &status) == 0
                                              : stat(filePath.c_str(), &status) == 0;
        if (!examined || S_ISDIR(status.st_mode)) {
            fileStream.close();
            fileStream.clear(before | std::ios_base::failbit);
            return false;
        }
        readCursor().setRegularFile(S_ISREG(status.st_mode));
    }
    fileName = filePath;
    accessMode = requestedMode;
    readCursor().setPosition(0);  // reads start at the beginning of the file
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
    readCursor().reset();
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
    assert(bufferedLength >= 0 &&
           static_cast<uint64_t>(bufferedLength) + n <= kWriteBufferCapacity &&
           "the text fits behind the buffered content");
    int32_t length = bufferedLength;
    std::memcpy(writeBuffer + length, text, n);
    length += static_cast<int32_t>(n);
    // Buffered content is empty or ends with '\n', so an empty text needs a newline only in an
    // empty buffer; any other text needs one unless it ends with one.
    const bool endsWithNewline = n == 0 ? length > 0 : text[n - 1] == '\n';
    if (!endsWithNewline) {
        writeBuffer[length++] = '\n';
    }
    assert(length <= kWriteBufferCapacity + 1 && "at most one byte of headroom is used");
    bufferedLength = length;
}

bool CollectFileReaderWriter::writeLine(const char* lineText) {
    if (lineText == nullptr) {
        return false;
    }
    return writeText(lineText, std::strlen(lineText));
}

bool CollectFileReaderWriter::writeText(const char* lineText, uint64_t n) {
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

// Refills the empty get area: with one pread(2) from where the bytes held end while the
// descriptor is behind, else by the stream itself once the descriptor is where they end. grow:
// the refill may take more than the last. False when the descriptor could not catch up; the
// caller then fails the stream.
__attribute__((always_inline)) inline bool refill(ReadCursor& cursor, std::filebuf* buffer,
                                                  bool grow) {
    if (grow) {
        RefillPolicy::beforeRefill(buffer);
    }
    return cursor.readNextBlock() || cursor.catchUp();
}

// After a line filled all the room it had: it ends there at its delimiter, which is consumed,
// or at the end of the file; any other byte fails the read and stays unread.
__attribute__((always_inline)) inline std::ios_base::iostate endOfFullLine(ReadCursor& cursor,
                                                                           std::filebuf* buffer,
                                                                           char delimiter) {
    if (GetArea::available(buffer) == 0 && !refill(cursor, buffer, false)) {
        return std::ios_base::badbit;
    }
    const Traits::int_type c = buffer->sgetc();
    if (Traits::eq_int_type(c, Traits::eof())) {
        return std::ios_base::eofbit;
    }
    if (Traits::to_char_type(c) != delimiter) {
        return std::ios_base::failbit;
    }
    cursor.consume(1);
    return std::ios_base::goodbit;
}

// Hands the next line, up to the delimiter and at most room (> 0) bytes, to sink, consuming
// what it takes through the cursor; sets extracted when it consumed any byte. Returns the
// conditions the stream takes from the read. A read error may throw from the stream's refill.
// Inlined, as are the two helpers above, so that the whole read is one frame: a thread
// cancelled while blocked in a refill unwinds through it, and AddressSanitizer then finds no
// stale frame of a callee below the one that rethrows.
template <class Sink>
__attribute__((always_inline)) inline std::ios_base::iostate takeLine(ReadCursor& cursor,
                                                                      std::filebuf* buffer,
                                                                      Sink& sink, char delimiter,
                                                                      size_t room,
                                                                      bool& extracted) {
    for (;;) {
        const size_t available = GetArea::available(buffer);
        if (available == 0) {
            // A file stream's buffer holds at least the byte sgetc() returns.
            if (!refill(cursor, buffer, true)) {
                return std::ios_base::badbit;
            }
            if (Traits::eq_int_type(buffer->sgetc(), Traits::eof())) {
                return std::ios_base::eofbit;
            }
            continue;
        }
        const size_t scanned = std::min(available, room);
        const size_t length = sink.take(GetArea::next(buffer), scanned, delimiter);
        extracted = true;
        if (length < scanned) {
            cursor.consume(length + 1);
            return std::ios_base::goodbit;
        }
        cursor.consume(scanned);
        room -= scanned;
        if (room == 0) {
            return endOfFullLine(cursor, buffer, delimiter);
        }
    }
}

}  // namespace

// Inline in each reading member, as short lines cost little more than this call.
template <class Sink>
__attribute__((always_inline)) inline void CollectFileReaderWriter::readBoundedLine(Sink& sink,
                                                                                    int32_t limit) {
    if (!fileStream.good()) {
        fileStream.setstate(std::ios_base::failbit);
        sink.finish();
        return;
    }
    ReadCursor cursor = readCursor();
    bool extracted = false;
    std::ios_base::iostate state = std::ios_base::goodbit;
    try {
        state = takeLine(cursor, fileStream.rdbuf(), sink, readDelimiter,
                         static_cast<size_t>(limit) - 1, extracted);
    } catch (const std::exception&) {  // the file buffer reports a read error by throwing
        state = std::ios_base::badbit;
    } catch (...) {
        // The unwinding of a cancelled thread (blocked in read(2) on a pipe, say) must go on, or
        // the process aborts; the stream is left failed.
        fileStream.setstate(std::ios_base::badbit);
        throw;
    }
    if (!extracted) {
        state |= std::ios_base::failbit;
    }
    sink.finish();
    if (state != std::ios_base::goodbit) {
        fileStream.setstate(state);
    }
    checkTrackedPosition();
}

__attribute__((always_inline)) inline bool CollectFileReaderWriter::readText(std::string& text) {
    // The common line, within the limit, ends inside the buffer and holds no NUL: it is found
    // and copied at once. Every other line takes the bounded line read.
    if (fileStream.good()) {
        std::streambuf* buffer = fileStream.rdbuf();
        const char* next = GetArea::next(buffer);
        const size_t scanned =
            std::min(GetArea::available(buffer), static_cast<size_t>(kLineReadLimit));
        const char* stop = findEither(next, scanned, readDelimiter, '\0');
        if (stop != nullptr && *stop == readDelimiter) {
            const size_t length = static_cast<size_t>(stop - next);
            try {
                text.assign(next, length);
            } catch (const std::bad_alloc&) {
                // As in the bounded line read: the read fails, nothing consumed.
                fileStream.setstate(std::ios_base::badbit | std::ios_base::failbit);
                text.clear();
                return true;
            }
            readCursor().consume(length + 1);
            checkTrackedPosition();
            return true;
        }
    }
    return readTextBounded(text);
}

bool CollectFileReaderWriter::readTextBounded(std::string& text) {
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
    ReadCursor cursor = readCursor();
    if (!cursor.positionKnown()) {
        // The stream reports no position at the end of the file: ask with the conditions
        // lifted, then put them back. (The cursor knows the position whenever the descriptor
        // is behind, so the stream's report is right here.)
        const std::ios_base::iostate state = fileStream.rdstate();
        fileStream.clear();
        const int64_t position = static_cast<int64_t>(fileStream.tellg());
        fileStream.clear(state);
        if (position < 0) {
            return -1;
        }
        cursor.setPosition(static_cast<uint64_t>(position));
    }
    return static_cast<int64_t>(cursor.position());
}

void CollectFileReaderWriter::checkTrackedPosition() {
#ifndef NDEBUG
    // Only where asking the stream changes nothing: a reader whose descriptor is where the
    // stream believes it to be. A position report that fails (an injected fault, say) tells
    // nothing.
    const ReadCursor cursor = readCursor();
    if (accessMode == ACCESS_READ && cursor.positionKnown() && !cursor.descriptorBehind() &&
        fileStream.good() && cursor.isRegularFile()) {
        const int64_t reported = static_cast<int64_t>(fileStream.tellg());
        assert((reported < 0 || static_cast<uint64_t>(reported) == cursor.position()) &&
               "the tracked read position is the stream's");
    }
#endif
}

bool CollectFileReaderWriter::readLine(std::string& line) {
    readText(line);
    return !fileStream.fail();
}

bool CollectFileReaderWriter::readLineEnd(std::string& text, uint64_t& end) {
    readText(text);
    end = auxValue1;
    return !fileStream.fail() && positionKnown();
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
    if (origin == SEEK_FROM_START && fileStream.good() && readsBlockFor(offset)) {
        return seekByReadingBlock(offset);
    }
    std::ios_base::seekdir direction = std::ios_base::cur;
    if (origin == SEEK_FROM_START) {
        direction = std::ios_base::beg;
    } else if (origin == SEEK_FROM_END) {
        direction = std::ios_base::end;
    }
    // A seek from the current position counts from the descriptor's offset, which must be
    // where the bytes held end; from the start or the end it does not matter where it was.
    // A failed catch-up fails the stream here, so the seek below does not move it.
    if (direction == std::ios_base::cur && !readCursor().catchUp()) {
        fileStream.setstate(std::ios_base::badbit);
    }
    // Reading there goes on in whole buffers, whatever an earlier small block left.
    return seekStream(offset, direction, false);
}

bool CollectFileReaderWriter::seekStream(uint64_t offset, std::ios_base::seekdir direction,
                                         bool smallBlockFirst) {
    ReadCursor cursor = readCursor();
    cursor.descriptorMoved();
    // Same bits as a signed offset, so values above 2^63 - 1 count backwards.
    fileStream.seekg(static_cast<std::streamoff>(offset), direction);
    if (smallBlockFirst) {
        RefillPolicy::smallBlock(fileStream.rdbuf());
    } else {
        RefillPolicy::whole(fileStream.rdbuf());
    }
    if (fileStream.fail()) {
        cursor.forgetPosition();
        return false;
    }
    // From the start the new position is the offset itself; otherwise it is asked of the
    // stream when next needed.
    if (direction == std::ios_base::beg) {
        cursor.setPosition(offset);
    } else {
        cursor.forgetPosition();
    }
    checkTrackedPosition();
    return true;
}

bool CollectFileReaderWriter::readsBlockFor(uint64_t target) {
    // Near the largest position a small block would meet the end of the file where a whole one
    // fails with a read error, so there reading stays as it is.
    const ReadCursor cursor = readCursor();
    if (!RefillPolicy::sizable() || accessMode != ACCESS_READ || !cursor.isRegularFile() ||
        target > static_cast<uint64_t>(INT64_MAX) - RefillPolicy::kWholeRefill) {
        return false;
    }
    // A target less than a whole buffer past the bytes held continues a walk through the file:
    // whole refills serve it better.
    if (cursor.positionKnown()) {
        const uint64_t heldEnd = cursor.heldEnd();
        if (target >= heldEnd && target - heldEnd < RefillPolicy::kWholeRefill) {
            return false;
        }
    }
    return true;
}

bool CollectFileReaderWriter::seekByReadingBlock(uint64_t target) {
    if (readCursor().readBlockFor(target)) {
        return true;
    }
    // The file ends before the target, could not be read, or refused the block's position:
    // stand at the target itself, or fail as a plain seek there would. A read error meets the
    // next read.
    return seekStream(target, std::ios_base::beg, true);
}

bool CollectFileReaderWriter::seekWithinBuffer(uint64_t offset, SeekPosition origin) {
    // Only a target known without a system call, on a healthy stream reading a regular file
    // (a pipe cannot go back, and a writer's stream holds no bytes to read).
    ReadCursor cursor = readCursor();
    if (origin == SEEK_FROM_END || !cursor.positionKnown() || accessMode != ACCESS_READ ||
        !cursor.isRegularFile() || !fileStream.good()) {
        return false;
    }
    std::streambuf* buffer = fileStream.rdbuf();
    char* const begin = GetArea::begin(buffer);
    if (begin == nullptr) {
        return false;
    }
    const uint64_t position = cursor.position();
    // Modular arithmetic: an offset above 2^63 - 1 counts backwards from the current position.
    const uint64_t target = origin == SEEK_FROM_START ? offset : position + offset;
    const uint64_t first = position - static_cast<uint64_t>(GetArea::next(buffer) - begin);
    const uint64_t held = static_cast<uint64_t>(GetArea::end(buffer) - begin);
    if (target < first || target - first > held) {
        return false;
    }
    GetArea::moveTo(buffer, begin + (target - first));
    cursor.setPosition(target);
    return true;
}

bool CollectFileReaderWriter::seek(unsigned long offset) {
    return seek(offset, SEEK_FROM_START);
}

bool CollectFileReaderWriter::seek(const char* /*name*/) {
    return !fileStream.fail();
}
