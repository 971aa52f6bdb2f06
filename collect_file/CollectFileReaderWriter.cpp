#include "collect_file/CollectFileReaderWriter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

const int32_t CollectFileReaderWriter::kWriteBufferCapacity;
const int32_t CollectFileReaderWriter::kLineReadLimit;
const int32_t CollectFileReaderWriter::kShortLineReadLimit;

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
      bufferedLength(0) {}

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
    fileName = filePath;
    accessMode = requestedMode;
    return true;
}

bool CollectFileReaderWriter::Close() {
    switch (accessMode) {
        case ACCESS_READ:
            fileStream.close();
            return true;
        case ACCESS_WRITE:
        case ACCESS_APPEND: {
            const bool flushed = WriteDataToFile();
            // Closing a stream that is not open marks it failed, so a repeated Close reports
            // false from its second flush on.
            fileStream.close();
            return flushed;
        }
        default:
            return true;
    }
}

bool CollectFileReaderWriter::WriteDataToFile() {
    if (accessMode != ACCESS_WRITE && accessMode != ACCESS_APPEND) {
        return false;
    }
    fileStream.write(writeBuffer, bufferedLength);
    fileStream.flush();
    bufferedLength = 0;
    // Failure is sticky, so this covers the write, the flush and any earlier failure.
    return !fileStream.fail();
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
    std::memcpy(writeBuffer + bufferedLength, text, n);
    bufferedLength += static_cast<int32_t>(n);
    if (bufferedLength == 0 || writeBuffer[bufferedLength - 1] != '\n') {
        writeBuffer[bufferedLength++] = '\n';
    }
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
    // The text can never fit: it goes straight to the file, and its newline through the buffer,
    // which the flush then empties again.
    fileStream.write(lineText, static_cast<std::streamsize>(n));
    if (lineText[n - 1] != '\n') {
        appendToBuffer("\n", 1);
    }
    return WriteDataToFile();
}

// --- Reading -------------------------------------------------------------------------------

void CollectFileReaderWriter::readBoundedLine(char* dest, int32_t limit) {
    fileStream.getline(dest, limit, readDelimiter);
}

bool CollectFileReaderWriter::readTextLine(char* lineArray) {
    readBoundedLine(lineArray, kLineReadLimit);
    // The line read fails whenever it extracted nothing, so end of file without failure means
    // it consumed a last line that had no delimiter after it.
    return !fileStream.eof() || !fileStream.fail();
}

bool CollectFileReaderWriter::readLine(std::string& line) {
    char lineArray[kLineReadLimit];
    if (readTextLine(lineArray)) {
        line.assign(lineArray);
    }
    return !fileStream.fail();
}

bool CollectFileReaderWriter::readLine(std::string& line, unsigned long& offset) {
    char lineArray[kLineReadLimit];
    if (!readTextLine(lineArray)) {
        return false;
    }
    const bool ok = !fileStream.fail();
    int64_t positionAfterDelimiter = -1;
    if (!fileStream.eof()) {
        if (ok) {
            positionAfterDelimiter = static_cast<int64_t>(fileStream.tellg());
        }
    } else {
        // A last line without a delimiter: the stream reports no position at the end of the
        // file, so ask with the condition lifted, count the delimiter the line lacks, and put
        // the condition back.
        fileStream.clear();
        positionAfterDelimiter = static_cast<int64_t>(fileStream.tellg()) + 1;
        fileStream.clear(std::ios_base::eofbit);
    }
    line.assign(lineArray);
    offset = static_cast<uint64_t>(positionAfterDelimiter) - line.size() - 2;
    return ok;
}

std::string CollectFileReaderWriter::readLine(bool& ok) {
    std::string result;
    char lineArray[kLineReadLimit];
    if (readTextLine(lineArray)) {
        result.assign(lineArray);
    }
    ok = !fileStream.fail();
    return result;
}

bool CollectFileReaderWriter::readLine(char* lineBuffer) {
    if (lineBuffer == nullptr) {
        return true;
    }
    readBoundedLine(lineBuffer, kShortLineReadLimit);
    return fileStream.fail();
}

bool CollectFileReaderWriter::ReadDataFromFile() {
    if (accessMode != ACCESS_READ) {
        return false;
    }
    char discarded[kLineReadLimit];
    do {
        readBoundedLine(discarded, kLineReadLimit);
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
    return !fileStream.fail();
}

bool CollectFileReaderWriter::seek(unsigned long offset) {
    return seek(offset, SEEK_FROM_START);
}

bool CollectFileReaderWriter::seek(const char* /*name*/) {
    return !fileStream.fail();
}
