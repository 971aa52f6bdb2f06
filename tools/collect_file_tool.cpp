// collect-file: checks, summarises and shows collect files. It reads through the library's
// public interface only, so it sees a file exactly as a client program does.

#include <collect_file/CollectFileReaderWriter.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Exit statuses.
const int kClean = 0;
const int kProblem = 1;     // a file has a problem
const int kCannotRead = 2;  // a file cannot be read, or the command line is wrong

const char kUsage[] =
    "Usage: collect-file check FILE...\n"
    "       collect-file sections [--json] FILE\n"
    "       collect-file show FILE OFFSET [COUNT]\n"
    "       collect-file --help | --version\n";

const char kHelp[] =
    "\n"
    "Checks, summarises and shows collect files, reading them as the library does.\n"
    "\n"
    "  check FILE...         reads every line; prints each problem with the byte offset of\n"
    "                        its line: a line of 2,048 bytes or more (reading stops there),\n"
    "                        a NUL byte inside a line, a last line without a newline, and\n"
    "                        entries before the first marker line. Then a summary per file.\n"
    "  sections FILE         one row per marker line: its text, its byte offset and the\n"
    "                        number of entries up to the next marker; --json prints the\n"
    "                        same as one JSON document.\n"
    "  show FILE OFFSET [COUNT]\n"
    "                        prints COUNT lines (default 1) from the line whose offset\n"
    "                        readLine(line, offset) reported as OFFSET, that is from byte\n"
    "                        OFFSET + 1; the first line's is 18446744073709551615.\n"
    "\n"
    "Exit status: 0 clean, 1 a file has a problem, 2 a file cannot be read or the command\n"
    "line is wrong.\n";

int usageError(const std::string& message) {
    std::fprintf(stderr, "collect-file: %s (see collect-file --help)\n", message.c_str());
    return kCannotRead;
}

int fileError(const std::string& path, const std::string& message) {
    std::fprintf(stderr, "collect-file: %s: %s\n", path.c_str(), message.c_str());
    return kCannotRead;
}

bool isMarker(const std::string& text) {
    return text == FULLENTRYDELIMITER || text == DIFFENTRYDELIMITER || text == SYSTEMENTRYDELIMITER;
}

// Why path cannot be opened for reading, in the system's words.
std::string whyUnreadable(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        return std::strerror(errno);
    }
    if (S_ISDIR(status.st_mode)) {
        return std::strerror(EISDIR);
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::strerror(errno);
    }
    close(fd);
    return "cannot be opened";
}

struct Line {
    std::string text;     // what the library delivers: up to the first NUL
    uint64_t start = 0;   // byte offset of the line's first byte
    uint64_t length = 0;  // bytes before the newline (or before the end of the file)
    bool hasNewline = true;
};

// Reads a file line by line through readLine(line, offset) and tells why reading stopped.
class LineScanner {
  public:
    enum class Stop { kNone, kEnd, kTooLong, kReadError };

    bool open(const std::string& path) {
        fileSize_ = CollectFileReaderWriter::getFileSize(path);
        return reader_.OpenFile(path, ACCESS_READ);
    }

    // The next line; false once reading stopped (see stop()).
    bool next(Line& line) {
        unsigned long offset = 0;
        if (!reader_.readLine(line.text, offset)) {
            // Reading on tells the end of the file from a failure.
            if (reader_.ReadDataFromFile()) {
                stop_ = Stop::kEnd;
            } else if (fileSize_ - position_ >= CollectFileReaderWriter::kLineReadLimit) {
                stop_ = Stop::kTooLong;
            } else {
                stop_ = Stop::kReadError;
            }
            return false;
        }
        // The library reports offset = (position after the delimiter) - length - 2, counting a
        // missing last delimiter as present.
        const uint64_t after = offset + line.text.size() + 2;
        line.start = position_;
        line.length = after - position_ - 1;
        line.hasNewline = after <= fileSize_;
        position_ = after;
        return true;
    }

    Stop stop() const { return stop_; }
    // Where reading stopped: the first byte of the line that could not be read.
    uint64_t position() const { return position_; }

    CollectFileReaderWriter& reader() { return reader_; }

  private:
    CollectFileReaderWriter reader_;
    uint64_t fileSize_ = 0;
    uint64_t position_ = 0;
    Stop stop_ = Stop::kNone;
};

struct Problem {
    uint64_t offset;
    std::string message;
};

const char kTooLongMessage[] =
    "line of 2,048 bytes or more: readers cannot deliver it and stop reading here";

int check(const std::string& path) {
    LineScanner scanner;
    if (!scanner.open(path)) {
        return fileError(path, whyUnreadable(path));
    }
    std::vector<Problem> problems;
    uint64_t lines = 0;
    uint64_t sections = 0;
    uint64_t entriesBeforeMarker = 0;
    uint64_t firstEntryOffset = 0;
    Line line;
    while (scanner.next(line)) {
        ++lines;
        if (isMarker(line.text)) {
            ++sections;
        } else if (sections == 0 && entriesBeforeMarker++ == 0) {
            firstEntryOffset = line.start;
        }
        if (line.length > line.text.size()) {
            problems.push_back(
                {line.start, "NUL byte inside the line: readers get only its first " +
                                 std::to_string(line.text.size()) + " bytes"});
        }
        if (!line.hasNewline) {
            problems.push_back({line.start,
                                "last line has no newline: cut short by a crash, or written by "
                                "another program"});
        }
    }
    if (scanner.stop() == LineScanner::Stop::kReadError) {
        return fileError(path, "read error at offset " + std::to_string(scanner.position()));
    }
    if (scanner.stop() == LineScanner::Stop::kTooLong) {
        problems.push_back({scanner.position(), kTooLongMessage});
    }
    if (entriesBeforeMarker > 0) {
        problems.push_back({firstEntryOffset, std::to_string(entriesBeforeMarker) +
                                                  " entries before the first marker line"});
    }
    std::stable_sort(problems.begin(), problems.end(),
                     [](const Problem& a, const Problem& b) { return a.offset < b.offset; });
    for (const Problem& problem : problems) {
        std::printf("%s: offset %llu: %s\n", path.c_str(),
                    static_cast<unsigned long long>(problem.offset), problem.message.c_str());
    }
    std::printf(
        "%s: %llu lines, %llu sections, %s\n", path.c_str(), static_cast<unsigned long long>(lines),
        static_cast<unsigned long long>(sections),
        problems.empty() ? "clean" : (std::to_string(problems.size()) + " problems").c_str());
    return problems.empty() ? kClean : kProblem;
}

// The text as a JSON string, quotes included.
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

struct Section {
    std::string marker;
    uint64_t offset;
    uint64_t entries;
};

int sections(const std::string& path, bool json) {
    LineScanner scanner;
    if (!scanner.open(path)) {
        return fileError(path, whyUnreadable(path));
    }
    std::vector<Section> found;
    Line line;
    while (scanner.next(line)) {
        if (isMarker(line.text)) {
            found.push_back({line.text, line.start, 0});
        } else if (!found.empty()) {
            ++found.back().entries;
        }
    }
    if (json) {
        std::printf("{\"file\": %s, \"sections\": [", jsonString(path).c_str());
        for (size_t i = 0; i < found.size(); ++i) {
            std::printf("%s{\"marker\": %s, \"offset\": %llu, \"entries\": %llu}",
                        i == 0 ? "" : ", ", jsonString(found[i].marker).c_str(),
                        static_cast<unsigned long long>(found[i].offset),
                        static_cast<unsigned long long>(found[i].entries));
        }
        std::printf("]}\n");
    } else {
        std::printf("%-20s %12s %10s\n", "MARKER", "OFFSET", "ENTRIES");
        for (const Section& section : found) {
            std::printf("%-20s %12llu %10llu\n", section.marker.c_str(),
                        static_cast<unsigned long long>(section.offset),
                        static_cast<unsigned long long>(section.entries));
        }
    }
    switch (scanner.stop()) {
        case LineScanner::Stop::kTooLong:
            std::fprintf(stderr, "collect-file: %s: offset %llu: %s\n", path.c_str(),
                         static_cast<unsigned long long>(scanner.position()), kTooLongMessage);
            return kProblem;
        case LineScanner::Stop::kReadError:
            return fileError(path, "read error at offset " + std::to_string(scanner.position()));
        default:
            return kClean;
    }
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

int show(const std::string& path, const std::string& offsetText, const std::string& countText) {
    uint64_t offset = 0;
    uint64_t count = 1;
    if (!parseNumber(offsetText, offset)) {
        return usageError("OFFSET is not a number: '" + offsetText + "'");
    }
    if (!countText.empty() && (!parseNumber(countText, count) || count == 0)) {
        return usageError("COUNT is not a positive number: '" + countText + "'");
    }
    LineScanner scanner;
    if (!scanner.open(path)) {
        return fileError(path, whyUnreadable(path));
    }
    // readLine(line, offset) reports one less than the line's first byte; the first line's
    // offset wraps to 0 here.
    const uint64_t start = offset + 1;
    const uint64_t size = CollectFileReaderWriter::getFileSize(path);
    if (start >= size) {
        return usageError(path + ": OFFSET " + offsetText + " is past the end of the file (" +
                          std::to_string(size) + " bytes)");
    }
    CollectFileReaderWriter& reader = scanner.reader();
    if (!reader.seek(static_cast<unsigned long>(start))) {
        return fileError(path, "cannot seek to offset " + std::to_string(start));
    }
    std::string line;
    for (uint64_t shown = 0; shown < count; ++shown) {
        if (!reader.readLine(line)) {
            if (reader.ReadDataFromFile()) {
                break;  // the end of the file
            }
            std::fprintf(stderr, "collect-file: %s: %s\n", path.c_str(),
                         "a line of 2,048 bytes or more, or a read error: reading stops here");
            return kProblem;
        }
        std::printf("%s\n", line.c_str());
    }
    return kClean;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        return usageError("missing command");
    }
    const std::string& command = args[0];
    if (command == "--help" || command == "-h") {
        std::printf("%s%s", kUsage, kHelp);
        return kClean;
    }
    if (command == "--version") {
        std::printf("collect-file %d.%d.%d\n", COLLECT_FILE_VERSION_MAJOR,
                    COLLECT_FILE_VERSION_MINOR, COLLECT_FILE_VERSION_PATCH);
        return kClean;
    }
    if (command == "check") {
        if (args.size() < 2) {
            return usageError("check: missing FILE");
        }
        int worst = kClean;
        for (size_t i = 1; i < args.size(); ++i) {
            worst = std::max(worst, check(args[i]));
        }
        return worst;
    }
    if (command == "sections") {
        std::vector<std::string> files;
        bool json = false;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--json") {
                json = true;
            } else {
                files.push_back(args[i]);
            }
        }
        if (files.size() != 1) {
            return usageError(files.empty() ? "sections: missing FILE" : "sections: one FILE only");
        }
        return sections(files[0], json);
    }
    if (command == "show") {
        if (args.size() < 3) {
            return usageError(args.size() < 2 ? "show: missing FILE" : "show: missing OFFSET");
        }
        if (args.size() > 4) {
            return usageError("show: too many arguments");
        }
        return show(args[1], args[2], args.size() == 4 ? args[3] : std::string());
    }
    return usageError("unknown command '" + command + "'");
}
