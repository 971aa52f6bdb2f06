// collect-file: checks, summarises and shows collect files. Lines are read through the library's
// public interface, so the tool sees a file as a client program does. Where the library cannot
// say why reading stopped (the end, a long line or a read error look alike through it), the
// tool looks at the bytes itself and reports what it saw, never a guess. The manual page,
// docs/collect-file.1, is the reference for everything printed here.

#include <collect_file/CollectFileReaderWriter.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Exit statuses.
const int kClean = 0;
const int kProblem = 1;  // a file has a problem
const int kFailure = 2;  // a file cannot be read, output failed, or the command line is wrong

const char kUsage[] =
    "Usage: collect-file check [--json] [--raw] [--] FILE...\n"
    "       collect-file sections [--json] [--raw] [--] FILE\n"
    "       collect-file show [--recorded] [--raw] [--] FILE OFFSET [COUNT]\n"
    "       collect-file --help | --version\n"
    "FILE - reads standard input. Every OFFSET is a line's first byte; see collect-file(1).\n";

// Bytes in a line that no reader can deliver whole: kLineReadLimit - 1 stored, one more.
const uint64_t kTooLong = CollectFileReaderWriter::kLineReadLimit;

// --- Output --------------------------------------------------------------------------------

// How text from a file (its lines and its name) reaches a terminal.
bool escapeStdout = false;
bool escapeStderr = false;

// Standard output, written with write(2) in large pieces; the first failure is kept, so that
// the exit status can report it.
class Output {
  public:
    void put(const std::string& text) {
        pending_ += text;
        if (pending_.size() >= 65536) {
            flush();
        }
    }
    bool flush() {
        size_t done = 0;
        while (error_ == 0 && done < pending_.size()) {
            const ssize_t n = ::write(1, pending_.data() + done, pending_.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                error_ = n < 0 ? errno : EIO;
                break;
            }
            done += static_cast<size_t>(n);
        }
        pending_.clear();
        return error_ == 0;
    }
    // Flushes and closes standard output; the system's error number of the first failure, or 0.
    int finish() {
        flush();
        if (error_ == 0 && ::close(1) != 0 && errno != EBADF) {
            error_ = errno;
        }
        return error_;
    }

  private:
    std::string pending_;
    int error_ = 0;
};
Output out;

// Length of the well-formed UTF-8 sequence at s (at most n bytes), or 0 when there is none.
size_t utf8Length(const unsigned char* s, size_t n) {
    if (s[0] < 0x80) {
        return 1;
    }
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (s[0] >= 0xc2 && s[0] <= 0xdf) {
        length = 2;
    } else if (s[0] >= 0xe0 && s[0] <= 0xef) {
        length = 3;
        low = s[0] == 0xe0 ? 0xa0 : 0x80;   // no overlong forms
        high = s[0] == 0xed ? 0x9f : 0xbf;  // no surrogates
    } else if (s[0] >= 0xf0 && s[0] <= 0xf4) {
        length = 4;
        low = s[0] == 0xf0 ? 0x90 : 0x80;
        high = s[0] == 0xf4 ? 0x8f : 0xbf;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (n < length || s[1] < low || s[1] > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (s[i] < 0x80 || s[i] > 0xbf) {
            return 0;
        }
    }
    return length;
}

std::string hexEscape(unsigned char c) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
    return escaped;
}

// The text with every control character (C0, DEL and C1), every byte that is not part of
// well-formed UTF-8 and the backslash written as \xHH (\\ for the backslash).
std::string escaped(const std::string& text) {
    std::string result;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8Length(s + i, text.size() - i);
        const bool c1 = length == 2 && s[i] == 0xc2 && s[i + 1] < 0xa0;
        if (length == 0 || c1 || s[i] < 0x20 || s[i] == 0x7f) {
            for (size_t k = 0; k < (c1 ? 2 : 1); ++k) {
                result += hexEscape(s[i + k]);
            }
            i += c1 ? 2 : 1;
        } else if (s[i] == '\\') {
            result += "\\\\";
            ++i;
        } else {
            result.append(text, i, length);
            i += length;
        }
    }
    return result;
}

// File content or a file name as it goes to standard output, or to standard error.
std::string shown(const std::string& text) {
    return escapeStdout ? escaped(text) : text;
}
std::string shownOnStderr(const std::string& text) {
    return escapeStderr ? escaped(text) : text;
}

// The text as a JSON string, quotes included: strict UTF-8, with each byte that is not part of
// well-formed UTF-8 replaced by U+FFFD.
std::string jsonString(const std::string& text) {
    std::string result = "\"";
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8Length(s + i, text.size() - i);
        if (length == 0) {
            result += "\xef\xbf\xbd";
            ++i;
        } else if (s[i] == '"' || s[i] == '\\') {
            result += '\\';
            result += static_cast<char>(s[i++]);
        } else if (s[i] < 0x20) {
            char escapedByte[8];
            std::snprintf(escapedByte, sizeof escapedByte, "\\u%04x", s[i++]);
            result += escapedByte;
        } else {
            result.append(text, i, length);
            i += length;
        }
    }
    return result + "\"";
}

std::string plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "collect-file: %s (see collect-file --help)\n",
                 shownOnStderr(message).c_str());
    return kFailure;
}

// "collect-file: FILE: message" on standard error.
void complain(const std::string& path, const std::string& message) {
    std::fprintf(stderr, "collect-file: %s: %s\n", shownOnStderr(path).c_str(), message.c_str());
}

bool isMarker(const std::string& text) {
    return text == FULLENTRYDELIMITER || text == DIFFENTRYDELIMITER || text == SYSTEMENTRYDELIMITER;
}

bool isMarkerWithCarriageReturn(const std::string& text) {
    return !text.empty() && text.back() == '\r' && isMarker(text.substr(0, text.size() - 1));
}

// --- Input ---------------------------------------------------------------------------------

// Copies a stream (a pipe, a FIFO, standard input, a /proc file) into a pipe that the library
// reads, from byte `skip` on, and records on the way what the library cannot tell: where the
// input ended and with which byte, a read error and its place, and the first line of kTooLong
// bytes or more.
class Pump {
  public:
    Pump(int input, uint64_t skip) : input_(input), skip_(skip), lineStart_(skip) {}

    // Stops the copy, also one waiting for input that says nothing more, and waits for it.
    ~Pump() {
        if (thread_.joinable()) {
            const char stop = 0;
            while (::write(stop_[1], &stop, 1) < 0 && errno == EINTR) {
            }
            thread_.join();
        }
        ::close(stop_[0]);
        ::close(stop_[1]);
    }

    // Starts copying; false with errno set when no pipe could be made.
    bool start(int& readEnd) {
        int ends[2];
        if (pipe2(stop_, O_CLOEXEC) != 0 || pipe2(ends, O_CLOEXEC) != 0) {
            return false;
        }
        readEnd = ends[0];
        output_ = ends[1];
        thread_ = std::thread([this] { run(); });
        return true;
    }

    struct Facts {
        int error = 0;                        // the read error, or 0
        uint64_t errorOffset = 0;             // where the failed read started
        uint64_t total = 0;                   // input bytes read
        int lastByte = -1;                    // the last byte read, -1 for none
        int byteBeforeSkip = -1;              // the byte at skip - 1, -1 when not read
        uint64_t firstLongLine = UINT64_MAX;  // start of the first line of kTooLong bytes or more
    };
    Facts facts() {
        std::lock_guard<std::mutex> lock(mutex_);
        return facts_;
    }

  private:
    void run() {
        // A library that stops reading closes its end: this thread then gets EPIPE instead of
        // the process being stopped by SIGPIPE.
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
        std::vector<char> buffer(65536);
        bool open = true;
        while (open) {
            pollfd waitFor[2] = {{input_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            const int ready = poll(waitFor, 2, -1);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready < 0 || waitFor[1].revents != 0) {
                break;  // stopped
            }
            const ssize_t n = ::read(input_, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            const char* passed = buffer.data();
            size_t length = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (n <= 0) {
                    if (n < 0) {
                        facts_.error = errno;
                        facts_.errorOffset = facts_.total;
                    }
                    break;
                }
                length = record(passed, static_cast<size_t>(n));
            }
            open = pass(passed, length);
        }
        ::close(output_);  // the library sees the end only now, with every fact recorded
    }

    // Records what the n bytes show, and moves bytes to the first byte from skip_ on; returns
    // how many bytes are to be passed on from there.
    size_t record(const char*& bytes, size_t n) {
        const uint64_t first = facts_.total;
        facts_.total += n;
        facts_.lastByte = static_cast<unsigned char>(bytes[n - 1]);
        if (first < skip_) {
            const uint64_t dropped = std::min<uint64_t>(skip_ - first, n);
            if (first + dropped == skip_) {
                facts_.byteBeforeSkip = static_cast<unsigned char>(bytes[dropped - 1]);
            }
            bytes += dropped;
            n -= dropped;
        }
        const uint64_t at = facts_.total - n;
        for (size_t i = 0; i < n;) {
            const void* newline = std::memchr(bytes + i, '\n', n - i);
            const size_t end = newline != nullptr ? static_cast<const char*>(newline) - bytes : n;
            if (at + end - lineStart_ >= kTooLong && facts_.firstLongLine == UINT64_MAX) {
                facts_.firstLongLine = lineStart_;
            }
            if (newline == nullptr) {
                break;
            }
            lineStart_ = at + end + 1;
            i = end + 1;
        }
        return n;
    }

    // Writes the bytes to the library's pipe; false once the library stopped reading.
    bool pass(const char* bytes, size_t n) {
        for (size_t done = 0; done < n;) {
            const ssize_t written = ::write(output_, bytes + done, n - done);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return false;
            }
            done += static_cast<size_t>(written);
        }
        return true;
    }

    int input_;
    int output_ = -1;
    int stop_[2] = {-1, -1};  // written to stop the copy
    uint64_t skip_;
    uint64_t lineStart_;  // where the line being copied started
    std::mutex mutex_;
    Facts facts_;
    std::thread thread_;
};

struct Line {
    std::string text;     // what the library delivers: up to the first NUL
    uint64_t start = 0;   // byte offset of the line's first byte
    uint64_t length = 0;  // bytes before the newline (or before the end of the input)
};

// Why reading stopped.
enum class Stop { kNone, kEnd, kTooLong, kReadError };

// How the input ended after its last line, seen in the bytes.
enum class Ending { kNewline, kNoNewline, kGrew };

// Reads a file or stream line by line through readLine(line, offset) and finds out why reading
// stopped. A regular file is read by the library directly and looked at with pread(2); anything
// else goes through a Pump.
class LineReader {
  public:
    ~LineReader() {
        reader_.reset();  // the library closes its end of the pump's pipe first
        pump_.reset();
        if (descriptor_ > 0) {
            ::close(descriptor_);
        }
    }

    // Opens path ("-": standard input) for reading from byte `from`. False with the system's
    // reason in error(); pastEnd() tells a `from` that lies past the end.
    bool open(const std::string& path, uint64_t from) {
        position_ = from;
        descriptor_ = path == "-" ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat status;
        if (descriptor_ < 0 || fstat(descriptor_, &status) != 0) {
            return fail(errno);
        }
        if (S_ISDIR(status.st_mode)) {
            return fail(EISDIR);
        }
        reader_.reset(new CollectFileReaderWriter);
        // A regular file with a size is read in place; one without (a /proc file, say) reports
        // no size to seek by, and is read once, as a stream.
        if (S_ISREG(status.st_mode) && status.st_size > 0) {
            size_ = static_cast<uint64_t>(status.st_size);
            if (from >= size_ && from > 0) {
                pastEnd_ = true;
                return false;
            }
            errno = 0;
            if (!reader_->OpenFile(path == "-" ? "/proc/self/fd/0" : path, ACCESS_READ)) {
                return fail(errno);
            }
            if (from > 0 && !reader_->seek(static_cast<unsigned long>(from))) {
                explainFailure(0);
                return fail(0);
            }
            return true;
        }
        pump_.reset(new Pump(descriptor_, from));
        int readEnd = -1;
        if (!pump_->start(readEnd)) {
            return fail(errno);
        }
        base_ = from;
        const bool opened =
            reader_->OpenFile("/proc/self/fd/" + std::to_string(readEnd), ACCESS_READ);
        const int openError = errno;
        ::close(readEnd);
        return opened || fail(openError);
    }

    // Once reading reached the end: how the input ended after the last line, which ended just
    // before position_ (its newline counted, present or not). False with stop() a read error
    // when that could not be read.
    bool ending(Ending& ending) {
        if (pump_) {
            const Pump::Facts facts = pump_->facts();
            if (facts.error != 0) {
                readError(facts.error, facts.errorOffset);
                return false;
            }
            ending = facts.lastByte == '\n' ? Ending::kNewline : Ending::kNoNewline;
            return true;
        }
        char byte = 0;
        const ssize_t n = preadFully(&byte, 1, position_ - 1);
        if (n < 0) {
            readError(errno, errorOffset_);
            return false;
        }
        // The end of the file, a newline, or text written after the line was read.
        ending = n == 0 ? Ending::kNoNewline : byte == '\n' ? Ending::kNewline : Ending::kGrew;
        return true;
    }

    // The next line; false once reading stopped (see stop()).
    bool next(Line& line) {
        unsigned long offset = 0;
        errno = 0;
        if (!reader_->readLine(line.text, offset)) {
            const int readErrno = errno;
            // Reading on tells the end of the input from a failure.
            if (reader_->ReadDataFromFile()) {
                stop_ = Stop::kEnd;
            } else {
                explainFailure(readErrno);
            }
            return false;
        }
        // The library reports offset = (position after the newline) - length - 2, counting a
        // missing last newline as present.
        const uint64_t after = base_ + offset + line.text.size() + 2;
        line.start = position_;
        line.length = after - position_ - 1;
        position_ = after;
        return true;
    }

    // The byte before `from` (what open() was given), or -1 for none: whether `from` starts a
    // line. Errors count as none.
    int byteBeforeStart(uint64_t from) {
        if (from == 0) {
            return -1;
        }
        if (pump_) {
            return pump_->facts().byteBeforeSkip;
        }
        char byte = 0;
        return preadFully(&byte, 1, from - 1) == 1 ? static_cast<unsigned char>(byte) : -1;
    }

    Stop stop() const { return stop_; }
    // Where reading stopped: the first byte of the line that could not be read, or of a read
    // error.
    uint64_t position() const { return stop_ == Stop::kReadError ? errorOffset_ : position_; }
    // The system's reason for a failed open or a read error.
    const std::string& error() const { return error_; }
    bool pastEnd() const { return pastEnd_; }
    // The size of a regular file, 0 for a stream.
    uint64_t size() const { return size_; }

  private:
    // Records why open() failed: the system's reason, or, for 0, a read error found already.
    bool fail(int error) {
        if (error != 0 || stop_ != Stop::kReadError) {
            error_ = error != 0 ? std::strerror(error) : "the library could not open it";
        }
        return false;
    }

    void readError(int error, uint64_t offset) {
        stop_ = Stop::kReadError;
        errorOffset_ = offset;
        error_ = std::strerror(error);
    }

    // pread(2) until n bytes or the end: the bytes read, or -1 with errno.
    ssize_t preadFully(char* bytes, size_t n, uint64_t offset) {
        size_t done = 0;
        while (done < n) {
            const ssize_t got =
                ::pread(descriptor_, bytes + done, n - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                errorOffset_ = offset + done;
                return -1;
            }
            if (got == 0) {
                break;
            }
            done += static_cast<size_t>(got);
        }
        return static_cast<ssize_t>(done);
    }

    // Reading stopped before the end: a line of kTooLong bytes or more, or a read error, as
    // the bytes at position_ show. readErrno is what the failed read left in errno.
    void explainFailure(int readErrno) {
        if (pump_) {
            const Pump::Facts facts = pump_->facts();
            if (facts.firstLongLine == position_) {
                stop_ = Stop::kTooLong;
            } else if (facts.error != 0) {
                readError(facts.error, facts.errorOffset);
            } else {
                unexplained(readErrno);
            }
            return;
        }
        char bytes[kTooLong];
        const ssize_t n = preadFully(bytes, sizeof bytes, position_);
        if (n < 0) {
            readError(errno, errorOffset_);
        } else if (static_cast<size_t>(n) == sizeof bytes &&
                   std::memchr(bytes, '\n', sizeof bytes) == nullptr) {
            stop_ = Stop::kTooLong;
        } else {
            unexplained(readErrno);
        }
    }

    // The library's read failed, but reading the bytes again shows no cause: a read error that
    // did not repeat.
    void unexplained(int readErrno) {
        stop_ = Stop::kReadError;
        errorOffset_ = position_;
        error_ = readErrno != 0
                     ? std::strerror(readErrno)
                     : std::string("reading failed, and reading the bytes again succeeded");
    }

    std::unique_ptr<CollectFileReaderWriter> reader_;
    std::unique_ptr<Pump> pump_;
    int descriptor_ = -1;
    uint64_t size_ = 0;
    uint64_t base_ = 0;      // a stream's first byte: the library counts its offsets from it
    uint64_t position_ = 0;  // the next line's first byte
    uint64_t errorOffset_ = 0;
    Stop stop_ = Stop::kNone;
    std::string error_;
    bool pastEnd_ = false;
};

// --- Commands ------------------------------------------------------------------------------

struct Options {
    bool json = false;
    bool recorded = false;
    bool raw = false;
    std::vector<std::string> operands;
};

struct Problem {
    uint64_t offset;
    const char* kind;
    std::string message;
};

const char kTooLongMessage[] =
    "line of 2,048 bytes or more: readers cannot deliver it and stop reading here";

// One file's check: its counts, problems, and the error that stopped it, if any.
struct CheckResult {
    std::string path;
    uint64_t lines = 0;
    uint64_t sections = 0;
    std::vector<Problem> problems;
    bool failed = false;  // could not be opened or read
    bool errorAtOffset = false;
    uint64_t errorOffset = 0;
    std::string error;

    int status() const { return failed ? kFailure : problems.empty() ? kClean : kProblem; }
};

CheckResult checkFile(const std::string& path) {
    CheckResult result;
    result.path = path;
    LineReader reader;
    if (!reader.open(path, 0)) {
        result.failed = true;
        result.error = reader.error();
        return result;
    }
    uint64_t entriesBeforeMarker = 0;
    uint64_t firstEntryOffset = 0;
    Line line;
    while (reader.next(line)) {
        ++result.lines;
        if (isMarker(line.text)) {
            ++result.sections;
        } else if (result.sections == 0 && entriesBeforeMarker++ == 0) {
            firstEntryOffset = line.start;
        }
        if (line.length > line.text.size()) {
            result.problems.push_back({line.start, "nul",
                                       "NUL byte inside the line: readers get only its first " +
                                           plural(line.text.size(), "byte", "bytes")});
        }
        if (isMarkerWithCarriageReturn(line.text)) {
            result.problems.push_back({line.start, "carriage-return",
                                       "marker line ends in \\r (a CRLF file): clients do not "
                                       "see it as a marker"});
        }
    }
    Ending ending = Ending::kNewline;
    if (reader.stop() == Stop::kEnd && result.lines > 0 && reader.ending(ending)) {
        if (ending == Ending::kNoNewline) {
            result.problems.push_back({line.start, "no-newline",
                                       "last line has no newline: cut short by a crash, or "
                                       "written by another program"});
        } else if (ending == Ending::kGrew) {
            result.problems.push_back({line.start, "grew-while-read",
                                       "the line was still being written when it was read: "
                                       "readers got only its first " +
                                           plural(line.text.size(), "byte", "bytes")});
        }
    }
    if (reader.stop() == Stop::kTooLong) {
        result.problems.push_back({reader.position(), "too-long", kTooLongMessage});
    }
    if (reader.stop() == Stop::kReadError) {
        result.failed = true;
        result.errorAtOffset = true;
        result.errorOffset = reader.position();
        result.error = reader.error();
    }
    if (entriesBeforeMarker > 0) {
        result.problems.push_back(
            {firstEntryOffset, "entries-before-marker",
             plural(entriesBeforeMarker, "entry", "entries") + " before the first marker line"});
    }
    std::stable_sort(result.problems.begin(), result.problems.end(),
                     [](const Problem& a, const Problem& b) { return a.offset < b.offset; });
    return result;
}

std::string errorText(const CheckResult& result) {
    return result.errorAtOffset
               ? "offset " + std::to_string(result.errorOffset) + ": " + result.error
               : result.error;
}

int check(const Options& options) {
    int worst = kClean;
    std::string json = "{\"files\": [";
    for (size_t i = 0; i < options.operands.size(); ++i) {
        const CheckResult result = checkFile(options.operands[i]);
        worst = std::max(worst, result.status());
        if (options.json) {
            json += i == 0 ? "" : ", ";
            json += "{\"file\": " + jsonString(result.path) +
                    ", \"lines\": " + std::to_string(result.lines) +
                    ", \"sections\": " + std::to_string(result.sections) + ", \"problems\": [";
            for (size_t k = 0; k < result.problems.size(); ++k) {
                const Problem& problem = result.problems[k];
                json += std::string(k == 0 ? "" : ", ") +
                        "{\"offset\": " + std::to_string(problem.offset) + ", \"kind\": \"" +
                        problem.kind + "\", \"message\": " + jsonString(problem.message) + "}";
            }
            json += "], \"error\": ";
            if (!result.failed) {
                json += "null";
            } else {
                json += "{\"offset\": " +
                        (result.errorAtOffset ? std::to_string(result.errorOffset) : "null") +
                        ", \"message\": " + jsonString(result.error) + "}";
            }
            json += "}";
        } else {
            const std::string name = shown(result.path);
            for (const Problem& problem : result.problems) {
                out.put(name + ": offset " + std::to_string(problem.offset) + ": " +
                        problem.message + "\n");
            }
            if (!result.failed || result.errorAtOffset) {
                out.put(name + ": " + plural(result.lines, "line", "lines") + ", " +
                        plural(result.sections, "section", "sections") + ", " +
                        (result.problems.empty()
                             ? std::string("clean")
                             : plural(result.problems.size(), "problem", "problems")) +
                        (result.failed ? ", then a read error" : "") + "\n");
            }
        }
        if (result.failed) {
            out.flush();  // the report before the error, in order on a terminal
            complain(result.path, errorText(result));
        }
    }
    if (options.json) {
        out.put(json + "]}\n");
    }
    return worst;
}

// Says why reading stopped before the end, if it did, and returns the exit status for it; kClean
// when reading reached the end.
int reportStop(const std::string& path, const LineReader& reader) {
    switch (reader.stop()) {
        case Stop::kTooLong:
            complain(path, "offset " + std::to_string(reader.position()) + ": " + kTooLongMessage);
            return kProblem;
        case Stop::kReadError:
            complain(path, "offset " + std::to_string(reader.position()) + ": " + reader.error());
            return kFailure;
        default:
            return kClean;
    }
}

struct Section {
    std::string marker;
    uint64_t offset;
    uint64_t entries;
};

int sections(const Options& options) {
    const std::string& path = options.operands[0];
    LineReader reader;
    if (!reader.open(path, 0)) {
        complain(path, reader.error());
        return kFailure;
    }
    std::vector<Section> found;
    uint64_t markersWithCarriageReturn = 0;
    Line line;
    while (reader.next(line)) {
        if (isMarker(line.text)) {
            found.push_back({line.text, line.start, 0});
        } else if (!found.empty()) {
            ++found.back().entries;
        }
        markersWithCarriageReturn += isMarkerWithCarriageReturn(line.text) ? 1 : 0;
    }
    if (options.json) {
        std::string json = "{\"file\": " + jsonString(path) + ", \"sections\": [";
        for (size_t i = 0; i < found.size(); ++i) {
            json += std::string(i == 0 ? "" : ", ") +
                    "{\"marker\": " + jsonString(found[i].marker) +
                    ", \"offset\": " + std::to_string(found[i].offset) +
                    ", \"entries\": " + std::to_string(found[i].entries) + "}";
        }
        out.put(json + "]}\n");
    } else {
        char row[96];
        std::snprintf(row, sizeof row, "%-20s %12s %10s\n", "MARKER", "OFFSET", "ENTRIES");
        out.put(row);
        for (const Section& section : found) {
            std::snprintf(row, sizeof row, "%-20s %12llu %10llu\n", section.marker.c_str(),
                          static_cast<unsigned long long>(section.offset),
                          static_cast<unsigned long long>(section.entries));
            out.put(row);
        }
    }
    out.flush();
    if (markersWithCarriageReturn > 0) {
        complain(path, plural(markersWithCarriageReturn, "marker line ends", "marker lines end") +
                           " in \\r (a CRLF file): clients do not see them as markers");
    }
    return reportStop(path, reader);
}

// Parses a decimal number of 64 bits, nothing else.
bool parseNumber(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    return true;
}

int show(const Options& options) {
    const std::string& path = options.operands[0];
    const std::string& offsetText = options.operands[1];
    uint64_t value = 0;
    uint64_t count = 1;
    if (!parseNumber(offsetText, value)) {
        return usageError((options.recorded ? "VALUE" : "OFFSET") +
                          std::string(" is not a number: '") + offsetText + "'");
    }
    if (options.operands.size() == 3 && (!parseNumber(options.operands[2], count) || count == 0)) {
        return usageError("COUNT is not a positive number: '" + options.operands[2] + "'");
    }
    // readLine(line, offset) reports one less than the line's first byte; the first line's
    // value wraps to 0 here.
    const uint64_t start = options.recorded ? value + 1 : value;
    LineReader reader;
    if (!reader.open(path, start)) {
        complain(path, reader.pastEnd()
                           ? "offset " + std::to_string(start) + " is past the end of the file (" +
                                 plural(reader.size(), "byte", "bytes") + ")"
                           : reader.error());
        return kFailure;
    }
    Line line;
    uint64_t shownLines = 0;
    for (; shownLines < count && reader.next(line); ++shownLines) {
        const int before = shownLines == 0 ? reader.byteBeforeStart(start) : -1;
        if (before != -1 && before != '\n') {
            complain(path, "offset " + std::to_string(start) +
                               " is not the first byte of a line: showing from that byte");
        }
        out.put(shown(line.text) + "\n");
    }
    if (reader.stop() == Stop::kTooLong) {
        out.put(shown(line.text) + "\n");  // the first 2,047 bytes, all that readers get
    }
    out.flush();
    if (shownLines == count) {
        return kClean;
    }
    if (reader.stop() == Stop::kEnd && shownLines == 0) {
        complain(path, "offset " + std::to_string(start) + " is past the end of the input");
        return kFailure;
    }
    return reportStop(path, reader);
}

// Splits a command's arguments into options and operands; "--" ends the options and "-" alone
// is an operand (standard input). False, after saying why, for an option the command lacks.
bool parseArguments(const std::vector<std::string>& args, const std::string& known,
                    Options& options) {
    bool optionsEnded = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
            options.operands.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (known.find(" " + arg + " ") == std::string::npos) {
            usageError(args[0] + ": unknown option '" + arg + "'");
            return false;
        } else {
            options.json |= arg == "--json";
            options.recorded |= arg == "--recorded";
            options.raw |= arg == "--raw";
        }
    }
    return true;
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) {
        return usageError("missing command");
    }
    const std::string& command = args[0];
    if (command == "--help" || command == "-h") {
        out.put(kUsage);
        return kClean;
    }
    if (command == "--version") {
        out.put("collect-file " + std::to_string(COLLECT_FILE_VERSION_MAJOR) + "." +
                std::to_string(COLLECT_FILE_VERSION_MINOR) + "." +
                std::to_string(COLLECT_FILE_VERSION_PATCH) + "\n");
        return kClean;
    }
    Options options;
    const char* known = command == "check"      ? " --json --raw "
                        : command == "sections" ? " --json --raw "
                        : command == "show"     ? " --recorded --raw "
                                                : nullptr;
    if (known == nullptr) {
        return usageError("unknown command '" + command + "'");
    }
    if (!parseArguments(args, known, options)) {
        return kFailure;
    }
    escapeStdout = !options.raw && isatty(1);
    escapeStderr = !options.raw && isatty(2);
    const size_t operands = options.operands.size();
    if (command == "check") {
        return operands == 0 ? usageError("check: missing FILE") : check(options);
    }
    if (command == "sections") {
        if (operands != 1) {
            return usageError(operands == 0 ? "sections: missing FILE" : "sections: one FILE only");
        }
        return sections(options);
    }
    if (operands < 2) {
        return usageError(operands == 0      ? "show: missing FILE"
                          : options.recorded ? "show: missing VALUE"
                                             : "show: missing OFFSET");
    }
    if (operands > 3) {
        return usageError("show: too many arguments");
    }
    return show(options);
}

}  // namespace

int main(int argc, char** argv) {
    escapeStderr = isatty(2);
    const int status = run(std::vector<std::string>(argv + 1, argv + argc));
    if (const int error = out.finish()) {
        std::fprintf(stderr, "collect-file: write error: %s\n", std::strerror(error));
        return kFailure;
    }
    return status;
}
