// collect_file::Writer and collect_file::Reader: the safe way to write and read collect files.
//
// This header needs C++17. It reads and writes the same files as CollectFileReaderWriter (the
// compatible core for existing callers, see CollectFileReaderWriter.h), and closes the class's
// traps:
// - a line that no reader could deliver whole is refused when it is written, not found later;
// - a new file replaces the old one only when it is complete and on disk (Writer::create,
//   Writer::commit), and commit() makes what was written durable;
// - offsets are the byte offset of a line's first byte, the value seek() takes;
// - a Reader delivers only whole lines: it stops, and tells why (error()), at a line too long to
//   read, a line holding a NUL and a last line without its '\n'; it can seek at any time, also
//   after the end, and go on after such a line (skip());
// - each holds one descriptor of its file, opened once and never reopened, and is a movable,
//   small object (its buffer lives on the heap).
//
// Nothing here prints, logs or throws, apart from std::bad_alloc when memory runs out on open(),
// create(), append() or while a line is read, sought or skipped. Errors are std::error_code
// values: either one of collect_file::errc (category collect_file::error_category(), name
// "collect_file"), or the system's errno in std::generic_category() (compare with std::errc
// values, e.g. std::errc::io_error for EIO). An object is used by one thread at a time.
//
// Lines are split at '\n' and hold no NUL byte. Byte offsets count from the start of the file.

#ifndef COLLECT_FILE_COLLECT_FILE_H
#define COLLECT_FILE_COLLECT_FILE_H

#if __cplusplus < 201703L
#error "collect_file/collect_file.h needs C++17 (-std=c++17); CollectFileReaderWriter.h is C++11"
#endif

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

// The library is built with hidden visibility; what this header declares is exported.
#ifndef COLLECT_FILE_EXPORT
#define COLLECT_FILE_EXPORT __attribute__((visibility("default")))
#endif

namespace collect_file {

// The library's own failures. Failures of the system (open, read, write, fsync, rename...) come
// as the errno in std::generic_category() instead.
enum class errc {
    line_too_long = 1,  // Writer: the line has 2,048 bytes or more before its one trailing '\n';
                        // Reader: the line at position() is that long and was not delivered
    nul_in_line,        // Writer: the line holds a NUL byte; Reader: the line at position()
                        // does, and was not delivered
    newline_in_line,    // Writer: the line holds a '\n' other than one at its very end
    not_open,           // no file: never opened, or after Writer::commit()
    position_unknown,   // not returned since 1.3 (a Reader of 1.2 could lose its position)
    unterminated_line,  // Writer::append: the file ends inside a line (its last byte is no '\n');
                        // Reader: the input ends inside the line at position(), which was not
                        // delivered (yet: an appender may still add its '\n')
};

// The longest line, in bytes without its '\n', that every reader delivers whole; Writer::write
// refuses a longer one (line_too_long) and a Reader stops at one.
inline constexpr std::size_t max_line_size = 2047;

// The category of errc; its name() is "collect_file" and message() describes each value.
[[nodiscard]] COLLECT_FILE_EXPORT const std::error_category& error_category() noexcept;
// {static_cast<int>(e), error_category()}; lets an errc compare equal to an std::error_code.
[[nodiscard]] COLLECT_FILE_EXPORT std::error_code make_error_code(errc e) noexcept;

// The three groups of database entries; Writer::write(Section) writes the group's marker line
// (FULLENTRYDELIMITER, DIFFENTRYDELIMITER, SYSTEMENTRYDELIMITER of the class's header), which a
// Reader delivers like any other line.
enum class Section { full, diff, system };

// The marker line of `section`, without '\n': "[FULL_DB_ENTRIES]", "[DIFF_DB_ENTRIES]" or
// "[SYSTEM_DB_ENTRIES]". Points to static storage.
[[nodiscard]] COLLECT_FILE_EXPORT std::string_view marker(Section section) noexcept;
// The section whose marker `line` is (a line as a Reader delivers it, without '\n'), or nullopt
// for any other line, a marker with a '\r' or other bytes around it included.
[[nodiscard]] COLLECT_FILE_EXPORT std::optional<Section> section_of(std::string_view line) noexcept;

// One line as a Reader delivers it.
struct Line {
    // The line's bytes without its '\n': at most max_line_size, and no NUL. After a stop,
    // Reader::next leaves here what readers get of the line that was not delivered.
    std::string text;
    // Byte offset of the line's first byte in the file: Reader::seek(offset) reads it again, and
    // it is the offset that `collect-file sections` and `collect-file check` print.
    std::uint64_t offset = 0;
};

// Writes a collect file, either as a new file that replaces `path` atomically (create) or by
// adding lines at its end (append). Lines are buffered (64 KiB) and written in large chunks.
//
// Errors: a refused line (line_too_long, nul_in_line, newline_in_line) writes nothing and the
// Writer goes on. A system failure sticks: that call and every later one but create() and
// append() return it, and nothing reaches `path` of a create(). After commit() and on a Writer
// with no file, calls return not_open.
class COLLECT_FILE_EXPORT Writer {
  public:
    // No file: every call but create() and append() returns not_open.
    Writer() noexcept;
    // Without commit(): a create() leaves `path` as it was and removes its temporary file; an
    // append() hands the buffered lines to the system (not made durable) and closes the file.
    ~Writer();
    Writer(Writer&& other) noexcept;
    // Ends this Writer's file as the destructor would, then takes other's.
    Writer& operator=(Writer&& other) noexcept;
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Starts a new file that replaces `path` at commit(). Lines go to a temporary file beside
    // `path` in the same folder (named "." + the file's name + ".tmp-" + a unique suffix, created
    // exclusively, mode 0666 less the umask, as the class would create `path`); `path` itself is
    // untouched until commit(), and is never replaced if the process dies before (a temporary
    // file may then be left behind). A file that is replaced keeps its permissions, not its
    // owner; a symbolic link at `path` is replaced itself, not followed. A Writer that has a
    // file already ends it first, as the destructor would. Fails with the system's error when
    // the folder cannot be opened or the temporary file created.
    [[nodiscard]] std::error_code create(const std::string& path);

    // Adds lines at the end of `path`, creating it (mode 0666 less the umask) if it is missing.
    // Every flush lands at the file's end in one write, whole lines only, so appenders in other
    // processes never tear each other's lines. `path` may also name a pipe or a device
    // ("/proc/self/fd/1"), which commit() does not sync when it cannot. A Writer that has a file
    // already ends it first.
    [[nodiscard]] std::error_code append(const std::string& path);

    // Buffers one line. `line` may end with one '\n', which is not doubled; an empty line is
    // written as an empty line ("\n"). Refused, writing nothing: 2,048 bytes or more before the
    // trailing '\n' (line_too_long; a 2,047-byte line is accepted), a NUL byte (nul_in_line), a
    // '\n' anywhere but at the end (newline_in_line). A full buffer is first written to the file;
    // a failure of that write is returned and sticks.
    [[nodiscard]] std::error_code write(std::string_view line);

    // Buffers the marker line of `section`.
    [[nodiscard]] std::error_code write(Section section);

    // Makes everything written durable, then ends the file: flushes the buffer and fsyncs the
    // file; for create() then renames it over `path` and fsyncs the folder; for append() fsyncs
    // the folder too when append() created the file. Empty on success; afterwards every call
    // but create() and append() returns not_open. On failure the error sticks and, for
    // create(), `path` keeps its old content (a failed fsync of the folder after the rename is
    // the exception: `path` then holds the new content, which may not survive a crash).
    [[nodiscard]] std::error_code commit();

    // Hands the buffered lines to the system and keeps the file open: for append(), other
    // processes then see them; for create(), they go into the temporary file and `path` stays
    // untouched until commit(). Makes nothing durable. Empty on success; a failure sticks.
    [[nodiscard]] std::error_code flush();

    // True between a successful create() or append() and commit().
    [[nodiscard]] bool is_open() const noexcept;
    // The error that stuck, empty while there is none (refusals never stick).
    [[nodiscard]] std::error_code error() const noexcept;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Reads a collect file line by line, with the line's offset, and moves freely within it.
//
//     collect_file::Reader reader;
//     if (auto error = reader.open(path)) { ... }
//     for (const collect_file::Line& line : reader) { ... }
//     if (reader.error()) { ... }  // stopped before the end, at position()
//
// The file is opened once (O_RDONLY, close-on-exec) and that one descriptor is read for the
// Reader's whole life, through a 64 KiB buffer: seek() and skip() read the very same file even
// after it was renamed or removed. A regular file is read with pread(2) at offsets, so the
// descriptor's own offset never moves. Input that cannot seek (a pipe, a terminal) reads front
// to back: next() and skip() work, seek() returns std::errc::invalid_seek (ESPIPE).
//
// A file still being appended to: its last line may be caught part-way, without its '\n'; next()
// then stops with unterminated_line at that line. The end of the file is never remembered:
// seek(position()) reads the file afresh, and delivers the line whole once it is complete.
class COLLECT_FILE_EXPORT Reader {
  public:
    // No file: next() returns false and error() is not_open.
    Reader() noexcept;
    ~Reader();
    Reader(Reader&& other) noexcept;
    Reader& operator=(Reader&& other) noexcept;
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Opens `path` for reading at its first byte; a Reader that has a file closes it first.
    // "/proc/self/fd/N" opens what descriptor N reads, pipes included. The system's error
    // (ENOENT, EACCES, EISDIR for a folder...) when it cannot be opened; the Reader then has no
    // file.
    [[nodiscard]] std::error_code open(const std::string& path);

    // Reads the file open on `fd`, from its current offset, through a duplicate (close-on-exec)
    // that the Reader owns; the caller keeps `fd`, whose offset the Reader does not move for a
    // regular file, and closes it when it likes. Line::offset counts from the file's first byte
    // (from 0 at the current offset for a pipe). The system's error when `fd` is not open
    // (EBADF), is open for writing only (EBADF) or names a folder (EISDIR); the Reader then has
    // no file.
    [[nodiscard]] std::error_code open(int fd);

    // Reads the next line into `line` and returns true: a line of at most max_line_size bytes
    // that ends with '\n' and holds no NUL. False when reading stops:
    // - at the end of the input, after its last whole line: error() empty, `line` unchanged;
    // - at a line that is not whole: line_too_long (no '\n' within max_line_size + 1 bytes),
    //   unterminated_line (the input ends inside the line), nul_in_line (it holds a NUL). A line
    //   with more than one fault gives the first of these three. line.offset and position() name
    //   the line's first byte, and line.text holds what readers get of it: its bytes up to the
    //   first NUL, at most max_line_size;
    // - on a failure of the system: its error; line.offset and position() name the first byte
    //   of the line not read, line.text is empty.
    // Once stopped, next() keeps returning false until seek() or skip() moves on.
    [[nodiscard]] bool next(Line& line);

    // Why reading stopped: empty while reading goes on and at a clean end of the input; else as
    // next() says. not_open without a file. The error of a failed seek() or skip() is returned
    // by that call, and shows here when it stopped reading.
    [[nodiscard]] std::error_code error() const noexcept;

    // The offset of the first byte of the line the next call to next() reads: after a stop the
    // line that could not be read; at a clean end, the end of the input. 0 without a file.
    [[nodiscard]] std::uint64_t position() const noexcept;

    // Moves to `offset`, which should be a line's first byte (Line::offset or position()); any
    // other offset reads from that byte on. Works at any time: after the end, after a stop, and
    // clears the stop. No system call when offset lies within the bytes buffered; else one read
    // of the aligned 4 KiB block that holds it (no fstat). The file's size itself is allowed
    // (next() then reports the end); past it: std::errc::invalid_argument, the Reader left as
    // it was. Input that cannot seek: std::errc::invalid_seek. A failure of the system stops
    // reading with its error, at `offset`.
    [[nodiscard]] std::error_code seek(std::uint64_t offset);

    // After next() stopped at a line that is not whole (line_too_long, unterminated_line,
    // nul_in_line): goes on with the line after it, the byte after its '\n', or stops at a clean
    // end when it has none. While reading goes on, it reads and drops the next line (and goes
    // on after it in the same way when that line is not whole); at a clean end it does nothing.
    // After a failure of the system it returns that error and changes nothing. Works front to
    // back on input that cannot seek too. A failure of the system while it reads stops reading
    // with that error, at the skipped line's first byte.
    [[nodiscard]] std::error_code skip();

    // True between a successful open() and the Reader's end (or a failed open()).
    [[nodiscard]] bool is_open() const noexcept;

    // Range-for over the remaining lines: each step calls next(); the loop ends when it returns
    // false, so check error() afterwards. An input iterator: one pass, one Line held in it.
    class iterator {
      public:
        using iterator_category = std::input_iterator_tag;
        using value_type = Line;
        using difference_type = std::ptrdiff_t;
        using pointer = const Line*;
        using reference = const Line&;

        iterator() noexcept = default;
        reference operator*() const noexcept { return line_; }
        pointer operator->() const noexcept { return &line_; }
        iterator& operator++() {
            if (!reader_->next(line_)) {
                reader_ = nullptr;
            }
            return *this;
        }
        // Steps like prefix ++; the Line read before is not kept (an input iterator's rule).
        void operator++(int) { ++*this; }
        // Both iterators at the end, or both reading the same Reader.
        bool operator==(const iterator& other) const noexcept { return reader_ == other.reader_; }
        bool operator!=(const iterator& other) const noexcept { return reader_ != other.reader_; }

      private:
        friend class Reader;
        explicit iterator(Reader* reader) : reader_(reader) { ++*this; }
        Reader* reader_ = nullptr;
        Line line_;
    };
    // Reads the first remaining line.
    iterator begin() { return iterator(this); }
    iterator end() noexcept { return iterator(); }

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace collect_file

namespace std {
template <>
struct is_error_code_enum<collect_file::errc> : true_type {};
}  // namespace std

#endif  // COLLECT_FILE_COLLECT_FILE_H
