// CollectFileReaderWriter's writing: writeLine into the 64 KiB write buffer, and the flush
// (WriteDataToFile) that writes the buffer, or a text longer than it, through the descriptor.

#include <errno.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cstring>

#include "collect_file/CollectFileReaderWriter.h"
#include "collect_file/internal/stream_buffer.h"

using collect_file_internal::descriptorOf;

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
