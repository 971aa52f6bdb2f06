// CollectFileReaderWriter's object and lifecycle: construction with the checked layout,
// destruction, OpenFile and Close, and the file utilities (the file name, existence, removal,
// size, and the read delimiter).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>

#include "collect_file/CollectFileReaderWriter.h"
#include "collect_file/internal/class_shared.h"
#include "collect_file/internal/refill_policy.h"
#include "collect_file/internal/stream_buffer.h"

using collect_file_internal::descriptorOf;
using collect_file_internal::RefillPolicy;

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
    // Copied before the open, so that running out of memory here leaves nothing open.
    std::string name(filePath);
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
            collect_file_internal::closeFile(fileStream.rdbuf());
            fileStream.clear(before | std::ios_base::failbit);
            return false;
        }
        readCursor().setRegularFile(S_ISREG(status.st_mode));
    }
    fileName.swap(name);
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
    if (collect_file_internal::closeFile(fileStream.rdbuf())) {
        return true;
    }
    // Closing a stream that is not open marks it failed, as a failed close does, so a repeated
    // Close of a writing object reports false from its second flush on.
    fileStream.setstate(std::ios_base::failbit);
    return !wasOpen;
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
