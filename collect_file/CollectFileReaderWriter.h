// CollectFileReaderWriter: writes and reads collect files, plain line files that are written
// through a 64 KiB buffer in large chunks and read back one line at a time at a chosen delimiter.
//
// This header is valid C++11. Objects are allocated by the client, so the size and order of the
// data members below are part of the library's binary interface: they never change within a
// major version.
//
// Outcomes are reported as booleans, true for success, except where a member says otherwise:
// readLine(char*) returns true on failure, readLine(bool&) reports through its argument and
// getFileSize reports failure as 0. The library prints and logs nothing and throws nothing of its
// own: only std::bad_alloc can escape, from OpenFile and setFileName when memory runs out while
// the path is copied (an allocation that fails while a line is delivered fails that read).
//
// All file I/O goes through one standard file stream, which is healthy, at end of file, failed,
// or both of the last. Only a successful OpenFile clears the failed condition, and only a seek by
// offset clears end of file. So once a read or a seek has failed, or a read has reached the end
// of the file, every later read and seek by offset fails, and every later flush of a writing
// object writes nothing, returns false and still empties the write buffer.
//
// An object is used by one thread at a time; separate objects share nothing but files on disk.
//
// What a caller can rely on when things go wrong:
// - Writing. Every line this library writes ends with '\n', and the file never holds a byte
//   twice: a flush that fails leaves what reached the file and drops the rest (with libstdc++;
//   see Child processes). A process killed during a flush can leave a cut last line (the kernel
//   may stop a large write at a page boundary), so a last line without '\n' in a file this
//   library wrote was cut.
// - Appending. With ACCESS_APPEND each flush reaches the file in one write(2) call, whole lines
//   only, also for a text longer than the buffer together with its newline; appenders in other
//   processes therefore never tear each other's lines on a local file system (with libstdc++).
// - Child processes. The file descriptor is close-on-exec in every mode from the open itself on,
//   so no child started with exec inherits it, not even one forked by another thread while
//   OpenFile runs, with libstdc++ and with libc++ alike. The two points above need the
//   stream's descriptor for writing, which libstdc++ tells. Built with a standard library that
//   does not (libc++), the library writes through the stream as a plain std::fstream does: a
//   long text and its newline may be two writes, and a flush that failed part way may be
//   written again when the stream is closed.
// - Reading a file that another process changes. Reads take the file in blocks of up to 64 KiB:
//   lines already in the block are delivered as they were when it was read, even after the file
//   was truncated or rewritten; bytes past the block are read as they are then. A file truncated
//   below the read position reads as ended. A file that another process is appending to can end,
//   for a reader, in the middle of a line being written (the kernel makes a long write visible a
//   page at a time): that last line is delivered cut, like a last line without a delimiter.
// - A read error (EIO) fails the read like the end of the file does; call ReadDataFromFile
//   after the last read to tell them apart: true at the end of the file, false after an error
//   or a line of 2,048 bytes or more. (libc++'s file stream reports a read error as the end of
//   the file, so with libc++ the two cannot be told apart.)
// - A cancelled thread (pthread_cancel while blocked in a read) unwinds through the read as
//   usual; the object's stream is left failed.
// - Stack. The object holds about 129 KiB. As a local variable, writing and reading through it
//   took a thread stack of 140 KiB (glibc, g++ 12; 136 KiB crashed): keep 160 KiB free for it,
//   or allocate it on the heap (std::unique_ptr) in threads with small stacks.
// - Durability. A true Close (or WriteDataToFile) means the lines were handed to the operating
//   system, not that they are on the disk: a power loss or a system crash can still lose them.
//   To make a finished file durable, open it after Close (O_RDONLY), fsync(2) that descriptor,
//   and for a new file then fsync a descriptor of its folder (O_RDONLY | O_DIRECTORY). Linux
//   (4.16 on) reports to such a later descriptor a write-back error that happened before it was
//   opened, unless another descriptor of the file has already been told of it: trust a true
//   fsync only where no other process syncs the file.
// - Long lines. writeLine accepts lines of any length, but no reading form delivers one of
//   kLineReadLimit (2,048) bytes or more: see writeLine. `collect-file check` finds them.

#ifndef COLLECT_FILE_COLLECT_FILE_READER_WRITER_H
#define COLLECT_FILE_COLLECT_FILE_READER_WRITER_H

#include <stdint.h>

#include <fstream>
#include <map>
#include <string>

// The library's version: MAJOR.MINOR.PATCH, and as one number MAJOR * 10000 + MINOR * 100 + PATCH
// for comparisons in the preprocessor. Objects of the same MAJOR share one binary interface.
#define COLLECT_FILE_VERSION_MAJOR 1
#define COLLECT_FILE_VERSION_MINOR 3
#define COLLECT_FILE_VERSION_PATCH 0
#define COLLECT_FILE_VERSION 10300

// The library is built with hidden visibility; only this class is exported.
#define COLLECT_FILE_EXPORT __attribute__((visibility("default")))
// Marks members that are kept for the object's layout although no operation uses them.
#define COLLECT_FILE_RESERVED __attribute__((unused))

// The mode in which OpenFile opens the file, and the object's record of what it opened.
enum AccessMode : int32_t {
    ACCESS_NONE = 0,    // no file opened yet; OpenFile refuses this value
    ACCESS_READ = 1,    // input only; the file must exist and be readable
    ACCESS_WRITE = 2,   // output only; the file is created if missing, emptied if present
    ACCESS_APPEND = 3,  // output, appending; created if missing; every write lands at the end
};

// The origin from which seek counts its offset. Any value other than 1 and 2 counts from the
// current read position.
enum SeekPosition : int32_t {
    SEEK_FROM_START = 1,
    SEEK_FROM_END = 2,
    SEEK_FROM_CURRENT = 3,
};

// The kinds of database entry that a collect file groups, one per marker line below. The library
// itself never interprets them.
enum EntryType : int32_t {
    ENTRY_FULL = 0,
    ENTRY_DIFF = 1,
    ENTRY_SYSTEM = 2,
};

// Marker lines that open the groups of full, differential and system entries. Each unit that
// includes this header holds its own copy. The library writes and reads them like any other line.
static const std::string FULLENTRYDELIMITER = "[FULL_DB_ENTRIES]";
static const std::string DIFFENTRYDELIMITER = "[DIFF_DB_ENTRIES]";
static const std::string SYSTEMENTRYDELIMITER = "[SYSTEM_DB_ENTRIES]";

// One object binds itself to one collect file for its whole life and opens it at most once.
// It holds its two 64 KiB buffers inside itself (about 129 KiB in all), so it allocates nothing
// per line; mind small thread stacks when it is a local variable.
struct iovec;
namespace collect_file_internal {
class ReadCursor;
}  // namespace collect_file_internal

class COLLECT_FILE_EXPORT CollectFileReaderWriter {
  public:
    // Capacity of the write buffer: a line that would take the buffered content past this many
    // bytes first flushes the buffer.
    static const int32_t kWriteBufferCapacity = 65536;
    // Bytes that a text form of readLine can deliver per line, plus one for the terminating NUL.
    static const int32_t kLineReadLimit = 2048;
    // Bytes that readLine(char*) stores, the terminating NUL included.
    static const int32_t kShortLineReadLimit = 8;

    // An unbound object: no file, empty name, delimiter '\n', empty write buffer.
    CollectFileReaderWriter();
    // Closes a file that is still open, with Close's final flush in the writing modes (its result
    // is dropped). An unbound or closed object is released as it is.
    ~CollectFileReaderWriter();

    CollectFileReaderWriter(const CollectFileReaderWriter&) = delete;
    CollectFileReaderWriter& operator=(const CollectFileReaderWriter&) = delete;
    CollectFileReaderWriter(CollectFileReaderWriter&&) = delete;
    CollectFileReaderWriter& operator=(CollectFileReaderWriter&&) = delete;

    // --- Lifecycle -------------------------------------------------------------------------

    // Opens filePath in requestedMode (ACCESS_READ, ACCESS_WRITE or ACCESS_APPEND; no binary or
    // truncate flag, so ACCESS_WRITE empties an existing file). True on success: the stream is
    // then healthy and the file name becomes filePath. An object opens a file once in its life:
    // after a successful OpenFile, also after Close, it returns false and changes nothing; so it
    // does for any other mode value. If the path cannot be opened (also when it names a
    // directory, in every mode, holds a NUL byte, or, for reading, cannot be examined with
    // fstat) it returns false, marks the stream failed and leaves the object unbound, so a later
    // OpenFile may try again. A false result leaves the file as it was: ACCESS_WRITE empties a
    // file only when the open succeeds.
    bool OpenFile(const std::string& filePath, AccessMode requestedMode);

    // Writing modes: flushes the buffer (WriteDataToFile), closes the stream whatever the flush
    // gave, and returns true when both succeeded. ACCESS_READ: closes the stream, returns true
    // unless closing it failed. No file opened: does nothing, returns true. A failed close(2)
    // (EIO from delayed write-back, say) returns false and leaves the stream failed. The access
    // mode is kept, so a closed object refuses OpenFile and still allows RemoveFile. Repeating
    // Close repeats these steps on the closed stream: in the writing modes a second Close returns
    // true and later ones false.
    bool Close();

    // Writes the buffered lines to the file and hands them to the operating system. True when
    // they all arrived; interrupted and short writes are resumed. False when the write failed
    // (what reached the file stays, the rest is lost and never written later; the stream fails)
    // or the stream had already failed (nothing is written). The buffer is emptied in all these
    // cases. Outside ACCESS_WRITE and ACCESS_APPEND it returns false and keeps the buffer.
    bool WriteDataToFile();

    // --- File utilities --------------------------------------------------------------------

    // Sets the name that isFileExists and RemoveFile act on. An open stream is not affected.
    void setFileName(const std::string& filePath);

    // True when the current file name names an existing file (or directory). Independent of the
    // access mode and of the stream; false for the empty name of a new object and for a name
    // that holds a NUL byte.
    bool isFileExists();

    // Removes the file named by the current file name, open or not; the stream is neither
    // flushed nor closed. False, removing nothing, when this object never opened a file
    // (whatever setFileName set); false, removing nothing, for a name that holds a NUL byte;
    // false when the removal fails.
    bool RemoveFile();

    // Size in bytes of the file at filePath (symbolic links are followed); 0 when the path cannot
    // be examined or holds a NUL byte, so a missing file and an empty one both give 0. Needs no
    // object.
    static uint64_t getFileSize(std::string filePath);

    // Sets the byte at which later reads split lines. Writing always ends lines with '\n'.
    void setNewLineDelimiter(char delimiter);
    // The byte at which reads split lines; '\n' unless setNewLineDelimiter changed it.
    char getNewLineDelimiter();

    // --- Writing ---------------------------------------------------------------------------

    // Buffers the NUL-terminated text as one line: the text is copied unchanged and gets a '\n'
    // unless it ends with one; newlines inside it are kept, so one call may add several lines.
    // An empty text is written as "\n" into an empty buffer, and adds nothing after buffered
    // content (which always ends with '\n'), with one edge: buffered content of
    // kWriteBufferCapacity + 1 bytes (a text of exactly 65,536 bytes and the '\n' it got) is
    // flushed first, so writeLine("") right after such a text adds an empty line.
    //
    // When the text would take the buffered content past kWriteBufferCapacity bytes, the buffer
    // is flushed first (WriteDataToFile) and the text starts a fresh one; a text longer than
    // kWriteBufferCapacity bytes is then written straight to the file together with its '\n',
    // in one write. Lines reach the file in the order given.
    //
    // Returns true when the text was buffered (or, for a longer text, written and flushed
    // successfully). Returns false and drops the text when the flush before it failed: after
    // Close, or on a failed stream, the buffered lines are dropped too; with ACCESS_READ or no
    // file opened yet, the flush is refused and the buffer keeps its lines. Lines buffered
    // before OpenFile reach the file with the first flush in a writing mode; with ACCESS_READ
    // they are never written. A null pointer returns false and changes nothing.
    //
    // Limit: a line of kLineReadLimit (2,048) bytes or more is written, but cannot be read back.
    // A reader fails at it, and every later read and seek of that reader fails too, so reading
    // front to back loses every line after it. Keep lines below 2,048 bytes, counting each
    // newline-separated line of a text on its own; `collect-file check` finds longer ones.
    bool writeLine(const char* lineText);

    // --- Reading ---------------------------------------------------------------------------
    //
    // Every reading form reads from the current position up to the delimiter, which is consumed
    // and not delivered. A text form (the three first below) delivers at most
    // kLineReadLimit - 1 (2,047) bytes: a longer line gives its first 2,047 bytes, false, and a
    // failed stream, the rest of it unread. Delivered text ends at the first NUL byte of the line.
    // A last line that has no delimiter after it is delivered like any other, with true; the
    // next read reports the end. Reading an object that is not open for input (none opened,
    // ACCESS_WRITE, ACCESS_APPEND, or closed) fails, and on a writing object every later flush
    // then writes nothing.

    // Reads the next line into line. True when a line was read. On false, line holds:
    // - at the end of the file: its previous value, unchanged;
    // - for a line of 2,048 bytes or more: its first 2,047 bytes (up to a NUL);
    // - after a read error: the bytes of the line read before the error, possibly none;
    // - on a stream that had already failed without reaching the end (after a too-long line, a
    //   failed seek or a failed OpenFile): the empty text.
    bool readLine(std::string& line);

    // As readLine(line), and sets offset to one less than the byte offset of the line's first
    // byte, so seek(offset + 1) goes back to the line; the first line of the file reports the
    // largest unsigned 64-bit value. Precisely, offset = p - length(line) - 2 in 64-bit modular
    // arithmetic, where p is the position after the delimiter, and p = -1 when the read failed
    // (so a failed read not at the end gives the largest value minus 2). For a line holding a NUL,
    // length(line) counts the delivered text only. At the end of the file both arguments keep
    // their values. When the read position cannot be learned (after a seek from the end or
    // from the current position, the system is asked, and may fail) the line is delivered but
    // the call returns false, with p = -1, and leaves the stream failed as a read error does.
    bool readLine(std::string& line, unsigned long& offset);

    // Returns the next line and sets ok as readLine(line) would return. On failure the result is
    // what readLine(line) would leave in a line that was empty before the call.
    std::string readLine(bool& ok);

    // Reads the next line into the caller's array, which must hold kShortLineReadLimit (8)
    // bytes: at most 7 bytes and a NUL are stored. Note the reversed sense: returns false when a
    // line of up to 7 bytes was read, and true on failure: a longer line (its first 7 bytes are
    // stored and the stream fails), the end of the file or a failed stream (the empty text is
    // stored). A last line of up to 7 bytes without a delimiter gives false like any other. A
    // null pointer returns true and reads nothing.
    bool readLine(char* lineBuffer);

    // Reads and drops every remaining line. True when it read through to the end of the file.
    // False, reading nothing, unless the object was opened with ACCESS_READ; false when it stopped
    // before the end (a line of 2,048 bytes or more, or a stream that had already failed).
    // Afterwards every later read and seek by offset fails.
    bool ReadDataFromFile();

    // Moves the read position to offset bytes from origin (the start, the end, or for any other
    // value the current position); an offset above 2^63 - 1 counts backwards. True when the
    // stream is healthy afterwards. After a read reached the end of the file (also one that
    // delivered a last line without a delimiter) or failed, or after a seek failed, it returns
    // false without moving, and the stream stays failed. A position before the start fails the
    // stream for good. With ACCESS_WRITE it also moves where the next flush writes; with
    // ACCESS_APPEND writes still land at the end.
    //
    // Reading a regular file, a target inside the block the stream holds is reached without a
    // system call, and the bytes there are delivered as they were read: if another process
    // rewrote them since, the old bytes come back. A target outside it is read afresh, in a
    // small block first: seek(offset + 1) to a recorded entry reads the aligned 4 KiB that
    // hold it, with one system call (pread(2) with libstdc++); a line that runs past the end of
    // that block costs one more pread(2), of the next block, and so does each refill after it.
    bool seek(unsigned long offset, SeekPosition origin);

    // Same as seek(offset, SEEK_FROM_START). Write a literal zero offset as seek(0UL): a plain 0
    // also converts to the const char* overload.
    bool seek(unsigned long offset);

    // Reports whether the stream is not failed (true also at the end of the file, before a read
    // has failed there). name is not consulted and the position does not move.
    bool seek(const char* name);

  private:
    // The bounded line read that every reading member shares. Extracts the next line up to the
    // delimiter, which is consumed and not stored, handing at most limit - 1 bytes to sink in
    // runs. Sets end of file when the file ends during the read; sets failed when it extracted
    // nothing, or when it stored limit - 1 bytes and the next byte is neither the delimiter nor
    // the end (the rest of the line stays unread); on a stream already at end of file or failed
    // it extracts nothing and leaves the stream failed.
    template <class Sink>
    __attribute__((visibility("hidden"))) void readBoundedLine(Sink& sink, int32_t limit);
    // Reads the next line for a text form and sets text to its delivered part; returns whether
    // it was delivered, false only at the end of the file (text is then left unchanged).
    __attribute__((visibility("hidden"))) bool readText(std::string& text);
    // readText for the lines its fast path leaves: through the bounded line read.
    __attribute__((visibility("hidden"))) __attribute__((noinline)) bool readTextBounded(
        std::string& text);
    // The read cursor (internal/read_cursor.h): the tracked read position and the facts about
    // the file, kept in statusFlag, auxValue1 and auxValue2, with the reads into the stream's
    // buffer that the library makes itself. Not exported.
    __attribute__((visibility("hidden"))) collect_file_internal::ReadCursor readCursor();
    // The current read position: the tracked one while it is known; otherwise asked of the
    // stream, whatever its state, and tracked from then on. -1 when it has no position.
    __attribute__((visibility("hidden"))) int64_t readPosition();
    // Moves the read position without a system call when the target lies within the bytes the
    // stream holds and is known without one (from the start, or from a tracked current
    // position, of a regular file opened for reading). False, changing nothing, otherwise.
    __attribute__((visibility("hidden"))) bool seekWithinBuffer(uint64_t offset,
                                                                SeekPosition origin);
    // Whether a seek from the start to target, outside the buffer, reads the small block that
    // holds target at once: a regular file opened for reading, far enough from the largest
    // position, and not just past the bytes held.
    __attribute__((visibility("hidden"))) bool readsBlockFor(uint64_t target);
    // Moves a healthy stream to target by reading the small, aligned block that holds it with
    // one pread(2), leaving the descriptor behind. Returns the seek's result, as seek() would.
    __attribute__((visibility("hidden"))) bool seekByReadingBlock(uint64_t target);
    // Moves the stream itself to offset from direction (seekg), the next refill taking one
    // small block or a whole buffer. Returns the seek's result, as seek() would; tracks the
    // position when it counts from the start.
    __attribute__((visibility("hidden"))) bool seekStream(uint64_t offset,
                                                          std::ios_base::seekdir direction,
                                                          bool smallBlockFirst);
    // Debug builds: asserts that the tracked read position is what the stream would report.
    __attribute__((visibility("hidden"))) void checkTrackedPosition();
    // Closes the stream; false when closing an open stream failed. Marks the stream failed when
    // it was not open or its close failed.
    __attribute__((visibility("hidden"))) bool closeStream();
    // Writes the pieces in order to the file, resuming after interrupted and short writes. On a
    // failed stream writes nothing and returns false; a failed write fails the stream. pieces are
    // consumed.
    __attribute__((visibility("hidden"))) bool writeToFile(iovec* pieces, int count);
    // Copies n bytes behind the buffered content and ends the content with '\n' unless it
    // already does. Requires bufferedLength + n <= kWriteBufferCapacity.
    __attribute__((visibility("hidden"))) void appendToBuffer(const char* text, uint64_t n);
    // writeLine for a text of n bytes that need not be NUL-terminated; writeLine measures the
    // text and calls it. Not exported.
    __attribute__((visibility("hidden"))) bool writeText(const char* text, uint64_t n);

    // The read cursor's (readCursor()): true while auxValue1 holds the read position; set by
    // OpenFile and by seeks whose target is known, cleared by the others.
    bool statusFlag;
    // ACCESS_NONE until a successful OpenFile, then that mode for the rest of the object's life.
    AccessMode accessMode;
    // All reads, writes and seeks go through this stream; its buffer is secondBuffer.
    std::fstream fileStream;
    // The path that isFileExists and RemoveFile act on.
    std::string fileName;
    // The byte at which reads split lines.
    char readDelimiter;
    // Reserved tables; no operation reads or fills them.
    std::map<EntryType, uint64_t> typeTable1;
    std::map<EntryType, uint64_t> typeTable2;
    // writeBuffer[0, bufferedLength - 1] holds lines not yet written to fileStream; it is empty
    // or ends with '\n'. One byte of headroom: a text that fills the capacity exactly without a
    // '\n' gets its newline as byte kWriteBufferCapacity + 1.
    char writeBuffer[kWriteBufferCapacity + 1];
    // The stream's own buffer, so that it reads the file in 64 KiB blocks (4 KiB right after a
    // seek outside it). Neither array is zero-filled: no byte is read before it is written.
    char secondBuffer[kWriteBufferCapacity];
    // Reserved table; no operation reads or fills it.
    std::map<std::string, uint64_t> nameTable;
    // Reserved; 1000 from construction on.
    int32_t presetValue COLLECT_FILE_RESERVED;
    // Number of bytes held in writeBuffer, 0 to kWriteBufferCapacity + 1.
    int32_t bufferedLength;
    // The read cursor's: the read position while statusFlag is set; set to 0 by the destructor.
    uint64_t auxValue1;
    // The read cursor's: facts about the opened file as bits (a regular file; the descriptor
    // behind the bytes held); 0 from construction on, set by OpenFile, seeks and Close, set to 0
    // by the destructor.
    uint64_t auxValue2;
};

#endif  // COLLECT_FILE_COLLECT_FILE_READER_WRITER_H
