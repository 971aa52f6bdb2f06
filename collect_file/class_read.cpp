// CollectFileReaderWriter's reading: the bounded line read that every reading form shares,
// with its loop kept inline in each form, the fast path of the text forms, the four forms of
// readLine, ReadDataFromFile, and the read position they report.

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <exception>
#include <new>

#include "collect_file/CollectFileReaderWriter.h"
#include "collect_file/internal/class_shared.h"
#include "collect_file/internal/line_scan.h"
#include "collect_file/internal/read_cursor.h"
#include "collect_file/internal/refill_policy.h"
#include "collect_file/internal/stream_buffer.h"

using collect_file_internal::ArraySink;
using collect_file_internal::DiscardSink;
using collect_file_internal::findEither;
using collect_file_internal::GetArea;
using collect_file_internal::ReadCursor;
using collect_file_internal::RefillPolicy;
using collect_file_internal::TextSink;

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
