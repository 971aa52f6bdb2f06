// collect_file::Writer and collect_file::Reader: the refusals at their edges, the old file kept
// until commit() (also when the writer is killed), commit() durable, long lines skipped, seeks
// after the end and after a stop, and system errors reported with their errno.

#include <collect_file/collect_file.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fault_injector.h"
#include "test_support.h"

namespace {

using collect_file::errc;
using collect_file::Line;
using collect_file::Reader;
using collect_file::Section;
using collect_file::Writer;

class SafeInterfaceTest : public TempDirTest {
  protected:
    // The names in the test's folder.
    std::vector<std::string> folderEntries() const {
        std::vector<std::string> names;
        DIR* folder = opendir(folder_.c_str());
        while (dirent* entry = folder != nullptr ? readdir(folder) : nullptr) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        if (folder != nullptr) {
            closedir(folder);
        }
        return names;
    }
};

// A stop at a line that is not whole: its first byte, why, and what readers get of it.
struct Stop {
    uint64_t offset;
    std::error_code error;
    std::string text;
    bool operator==(const Stop& other) const {
        return offset == other.offset && error == other.error && text == other.text;
    }
};

// What a Reader delivered, front to back, skipping every line that is not whole.
struct ReadThrough {
    std::vector<std::pair<uint64_t, std::string>> lines;  // offset, text
    std::vector<Stop> skipped;                            // the lines not whole
    std::error_code error;                                // why it stopped at last
    uint64_t end = 0;                                     // position() at last
};

ReadThrough readThrough(Reader& reader) {
    ReadThrough result;
    for (;;) {
        Line line;
        while (reader.next(line)) {
            result.lines.emplace_back(line.offset, line.text);
        }
        result.error = reader.error();
        result.end = reader.position();
        if (result.error.category() != collect_file::error_category()) {
            return result;
        }
        EXPECT_EQ(line.offset, reader.position());
        result.skipped.push_back({line.offset, result.error, line.text});
        const std::error_code skipped = reader.skip();
        if (skipped) {
            result.error = skipped;
            return result;
        }
    }
}

TEST_F(SafeInterfaceTest, WriteRefusesWhatNoReaderDeliversAndGoesOn) {
    const std::string longest(2047, 'a');
    const std::string tooLong(2048, 'b');
    const struct {
        const char* name;
        std::string line;
        std::error_code expected;
        std::string written;
    } cases[] = {
        {"2,047 bytes", longest, {}, longest + "\n"},
        {"2,047 bytes and a newline", longest + "\n", {}, longest + "\n"},
        {"2,048 bytes", tooLong, errc::line_too_long, ""},
        {"2,048 bytes and a newline", tooLong + "\n", errc::line_too_long, ""},
        {"a NUL", std::string("a\0b", 3), errc::nul_in_line, ""},
        {"a NUL before the newline", std::string("ab\0\n", 4), errc::nul_in_line, ""},
        {"an inner newline", "a\nb", errc::newline_in_line, ""},
        {"a newline first", "\nb", errc::newline_in_line, ""},
        {"two trailing newlines", "ab\n\n", errc::newline_in_line, ""},
        {"one trailing newline", "ab\n", {}, "ab\n"},
        {"empty", "", {}, "\n"},
        {"a newline alone", "\n", {}, "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = pathOf("out");
        Writer writer;
        ASSERT_FALSE(writer.create(path));
        ASSERT_FALSE(writer.write("before"));
        EXPECT_EQ(writer.write(c.line), c.expected);
        EXPECT_FALSE(writer.error()) << "a refusal does not stick";
        ASSERT_FALSE(writer.write(Section::diff));
        ASSERT_FALSE(writer.commit());
        EXPECT_TRUE(sameBytes(readBytes(path), "before\n" + c.written + "[DIFF_DB_ENTRIES]\n"));
    }
}

TEST_F(SafeInterfaceTest, WithoutAFileEveryCallIsNotOpen) {
    Writer unopened;
    Writer committed;
    ASSERT_FALSE(committed.append(pathOf("log")));
    ASSERT_FALSE(committed.write("one"));
    ASSERT_FALSE(committed.commit());
    Writer movedFrom;
    ASSERT_FALSE(movedFrom.append(pathOf("log")));
    Writer movedTo(std::move(movedFrom));
    const struct {
        const char* name;
        Writer& writer;
    } cases[] = {{"never opened", unopened}, {"committed", committed}, {"moved from", movedFrom}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(c.writer.is_open());
        EXPECT_EQ(c.writer.write("x"), errc::not_open);
        EXPECT_EQ(c.writer.commit(), errc::not_open);
        EXPECT_EQ(c.writer.error(), errc::not_open);
    }
    ASSERT_FALSE(movedTo.write("two"));
    ASSERT_FALSE(movedTo.commit());
    EXPECT_EQ(readBytes(pathOf("log")), "one\ntwo\n");

    Reader reader;
    Line line;
    EXPECT_FALSE(reader.next(line));
    EXPECT_EQ(reader.error(), errc::not_open);
    EXPECT_EQ(reader.seek(0), errc::not_open);
    EXPECT_EQ(reader.skip(), errc::not_open);
    EXPECT_EQ(reader.open(folder_), std::errc::is_a_directory);
    EXPECT_EQ(reader.open(pathOf("missing")), std::errc::no_such_file_or_directory);
    // A NUL would cut the path at "log": that existing file is neither read nor replaced.
    const std::string cut = pathOf("log") + std::string("\0x", 2);
    EXPECT_EQ(reader.open(cut), std::errc::invalid_argument);
    EXPECT_EQ(Writer().create(cut), std::errc::invalid_argument);
    EXPECT_EQ(Writer().append(cut), std::errc::invalid_argument);
    EXPECT_EQ(readBytes(pathOf("log")), "one\ntwo\n");
}

TEST_F(SafeInterfaceTest, CreateReplacesTheFileOnlyAtCommit) {
    const std::string path = fileWith("old\n", "backup");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    {
        Writer abandoned;
        ASSERT_FALSE(abandoned.create(path));
        for (int i = 0; i < 20000; ++i) {  // past the buffer, so the temporary file holds bytes
            ASSERT_FALSE(abandoned.write("entry " + std::to_string(i)));
        }
        EXPECT_EQ(readBytes(path), "old\n");
    }
    EXPECT_EQ(readBytes(path), "old\n");
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"backup"}) << "temporary file removed";

    Writer writer;
    ASSERT_FALSE(writer.create(path));
    ASSERT_FALSE(writer.write("new"));
    ASSERT_FALSE(writer.commit());
    EXPECT_EQ(readBytes(path), "new\n");
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"backup"});
    struct stat status;
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u) << "the replaced file's permissions are kept";

    // A rename that fails (a folder in the way) sticks and leaves the folder as it was.
    const std::string folderPath = pathOf("taken");
    ASSERT_EQ(mkdir(folderPath.c_str(), 0755), 0);
    ASSERT_FALSE(writer.create(folderPath));
    ASSERT_FALSE(writer.write("line"));
    EXPECT_EQ(writer.commit(), std::errc::is_a_directory);
    EXPECT_EQ(writer.write("more"), std::errc::is_a_directory);
}

TEST_F(SafeInterfaceTest, AWriterKilledBeforeCommitLeavesTheOldFile) {
    const std::string path = fileWith("old\n", "backup");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Writer writer;
        if (writer.create(path)) {
            _exit(1);
        }
        for (int i = 0; i < 20000; ++i) {
            if (writer.write("entry " + std::to_string(i))) {
                _exit(3);
            }
        }
        raise(SIGKILL);
        _exit(2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(readBytes(path), "old\n");
}

TEST_F(SafeInterfaceTest, CommitSyncsTheFileAndANewName) {
    const struct {
        const char* name;
        bool create;
        bool fileExists;
        int syncs;  // the file, and the folder when a name appeared in it
    } cases[] = {
        {"create over an old file", true, true, 2},
        {"create a new file", true, false, 2},
        {"append to a file", false, true, 1},
        {"append creating the file", false, false, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = pathOf(c.name);
        if (c.fileExists) {
            writeBytes(path, "old\n");
        }
        Writer writer;
        ASSERT_FALSE(c.create ? writer.create(path) : writer.append(path));
        ASSERT_FALSE(writer.write("new"));
        fault_injector::arm(fault_injector::Fault::kSyncError, 1000, EIO);  // counts only
        const std::error_code committed = writer.commit();
        const int syncs = fault_injector::callsSeen();
        fault_injector::disarm();
        ASSERT_FALSE(committed);
        EXPECT_EQ(syncs, c.syncs);
        EXPECT_EQ(readBytes(path), c.create || !c.fileExists ? "new\n" : "old\nnew\n");
    }
}

TEST_F(SafeInterfaceTest, AppendToAPipeCommitsWithoutASync) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    Writer writer;
    ASSERT_FALSE(writer.append("/proc/self/fd/" + std::to_string(ends[1])));
    close(ends[1]);
    ASSERT_FALSE(writer.write("through the pipe"));
    EXPECT_FALSE(writer.commit());
    char bytes[64] = {};
    EXPECT_EQ(read(ends[0], bytes, sizeof bytes), 17);
    EXPECT_STREQ(bytes, "through the pipe\n");
    close(ends[0]);
}

TEST_F(SafeInterfaceTest, AFailedWriteOrSyncSticksAndKeepsTheOldFile) {
    using fault_injector::Fault;
    const struct {
        const char* name;
        Fault fault;
        int error;
    } cases[] = {
        {"the flush fails", Fault::kError, ENOSPC},
        {"the flush is cut short, then fails", Fault::kShortThenError, EIO},
        {"the file's fsync fails", Fault::kSyncError, EIO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!kDescriptorKnown && c.fault != Fault::kSyncError) {
            continue;  // the stream writes through stdio, out of the injector's reach
        }
        const std::string path = fileWith("old\n", "backup");
        Writer writer;
        ASSERT_FALSE(writer.create(path));
        ASSERT_FALSE(writer.write("new"));
        fault_injector::arm(c.fault, 0, c.error);
        const std::error_code committed = writer.commit();
        EXPECT_TRUE(fault_injector::disarm());
        EXPECT_EQ(committed, std::error_code(c.error, std::generic_category()));
        EXPECT_EQ(writer.write("more"), committed);
        EXPECT_EQ(writer.commit(), committed);
        EXPECT_EQ(readBytes(path), "old\n");
    }
}

TEST_F(SafeInterfaceTest, ReaderSkipsLinesNotWholeAndReadsEverythingElse) {
    const std::string a3000(3000, 'L');
    const std::string a2048(2048, 'M');
    const std::string a2047(2047, 'N');
    const std::string huge(40000, 'H');  // longer than one buffer
    const std::error_code tooLong = errc::line_too_long;
    const std::error_code nul = errc::nul_in_line;
    const std::error_code cut = errc::unterminated_line;
    const struct {
        const char* name;
        std::string bytes;
        std::vector<std::pair<uint64_t, std::string>> lines;
        std::vector<Stop> skipped;
    } cases[] = {
        {"a long line between two",
         "a\n" + a3000 + "\nb\n",
         {{0, "a"}, {3003, "b"}},
         {{2, tooLong, a3000.substr(0, 2047)}}},
        {"2,048 and 2,047 bytes",
         a2048 + "\n" + a2047 + "\n",
         {{2049, a2047}},
         {{0, tooLong, a2048.substr(1)}}},
        {"two long lines in a row",
         "x\n" + a3000 + "\n" + huge + "\ny\n",
         {{0, "x"}, {43004, "y"}},
         {{2, tooLong, a3000.substr(0, 2047)}, {3003, tooLong, huge.substr(0, 2047)}}},
        {"a long last line without a newline",
         "a\n" + a3000,
         {{0, "a"}},
         {{2, tooLong, a3000.substr(0, 2047)}}},
        {"a long line with a NUL",
         std::string("x\0", 2) + a3000 + "\ny\n",
         {{3003, "y"}},
         {{0, tooLong, "x"}}},
        {"a NUL inside a line", std::string("b\0c\nd\n", 6), {{4, "d"}}, {{0, nul, "b"}}},
        {"a NUL before the newline", std::string("ab\0\n", 4), {}, {{0, nul, "ab"}}},
        {"a last line without a newline", "a\n\nlast", {{0, "a"}, {2, ""}}, {{3, cut, "last"}}},
        {"a cut last line with a NUL", std::string("a\nb\0c", 5), {{0, "a"}}, {{2, cut, "b"}}},
        {"a cut last line of 2,047 bytes", a2047, {}, {{0, cut, a2047}}},
        {"a cut last line of 2,048 bytes", a2048, {}, {{0, tooLong, a2048.substr(1)}}},
        {"empty", "", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Reader reader;
        ASSERT_FALSE(reader.open(fileWith(c.bytes)));
        const ReadThrough read = readThrough(reader);
        EXPECT_FALSE(read.error) << read.error.message();
        EXPECT_EQ(read.lines, c.lines);
        EXPECT_EQ(read.skipped, c.skipped);
        EXPECT_EQ(read.end, c.bytes.size());
        // Every offset leads back to its line, also after the end.
        for (auto it = c.lines.rbegin(); it != c.lines.rend(); ++it) {
            Line line;
            ASSERT_FALSE(reader.seek(it->first));
            ASSERT_TRUE(reader.next(line));
            EXPECT_EQ(line.offset, it->first);
            EXPECT_EQ(line.text, it->second);
        }
    }
}

TEST_F(SafeInterfaceTest, SeekWorksAfterTheEndAndAfterAStop) {
    const std::string bytes = "one\n" + std::string(3000, 'L') + "\ntwo\n";
    const std::string path = fileWith(bytes);
    Reader reader;
    ASSERT_FALSE(reader.open(path));
    Line line;
    ASSERT_TRUE(reader.next(line));
    EXPECT_FALSE(reader.next(line));
    EXPECT_EQ(reader.error(), errc::line_too_long);
    EXPECT_EQ(reader.position(), 4u);
    EXPECT_EQ(line.offset, 4u) << "the long line's first byte";
    EXPECT_EQ(line.text, std::string(2047, 'L')) << "the part readers get";
    EXPECT_FALSE(reader.next(line)) << "a stop stays";

    ASSERT_FALSE(reader.seek(0));
    EXPECT_FALSE(reader.error());
    ASSERT_TRUE(reader.next(line));
    EXPECT_EQ(line.text, "one");

    // At the end: the file's size is a position, one byte past it is not.
    ASSERT_FALSE(reader.seek(bytes.size()));
    EXPECT_FALSE(reader.next(line));
    EXPECT_FALSE(reader.error());
    EXPECT_EQ(reader.seek(bytes.size() + 1), std::errc::invalid_argument);
    EXPECT_EQ(reader.position(), bytes.size()) << "a refused seek moves nothing";
    ASSERT_FALSE(reader.seek(3005));
    ASSERT_TRUE(reader.next(line));
    EXPECT_EQ(line.text, "two");
    EXPECT_EQ(line.offset, 3005u);

    // Moved, the Reader goes on where it was.
    Reader moved(std::move(reader));
    ASSERT_FALSE(moved.seek(0));
    ASSERT_TRUE(moved.next(line));
    EXPECT_EQ(line.text, "one");
}

TEST_F(SafeInterfaceTest, ALineBeingAppendedStopsUntilItIsWhole) {
    const std::string path = fileWith("one\npar");
    Reader reader;
    ASSERT_FALSE(reader.open(path));
    Line line;
    ASSERT_TRUE(reader.next(line));
    EXPECT_FALSE(reader.next(line));
    EXPECT_EQ(reader.error(), errc::unterminated_line);
    EXPECT_EQ(line.text, "par");
    writeBytes(path, "one\npartial\ntwo\n");  // the appender ends the line, and writes another
    EXPECT_FALSE(reader.next(line)) << "a stop stays";
    ASSERT_FALSE(reader.seek(reader.position()));
    ASSERT_TRUE(reader.next(line));
    EXPECT_EQ(line.offset, 4u);
    EXPECT_EQ(line.text, "partial");
    ASSERT_TRUE(reader.next(line));
    EXPECT_EQ(line.text, "two");
    EXPECT_FALSE(reader.next(line));
    EXPECT_FALSE(reader.error());
}

TEST_F(SafeInterfaceTest, AReadErrorStopsWithItsErrnoAtTheLineNotRead) {
    if (!kReadsInjectable) {
        GTEST_SKIP() << "the standard library reads where the injector cannot reach";
    }
    // Lines of 100 bytes, past the first 64 KiB block, so the second read fails.
    std::string bytes;
    for (int i = 0; bytes.size() < 200000; ++i) {
        bytes += std::string(99, static_cast<char>('a' + i % 26)) + "\n";
    }
    Reader reader;
    ASSERT_FALSE(reader.open(fileWith(bytes)));
    fault_injector::arm(fault_injector::Fault::kReadError, 1, EIO);
    const ReadThrough read = readThrough(reader);
    EXPECT_TRUE(fault_injector::disarm());
    EXPECT_EQ(read.error, std::errc::io_error);
    ASSERT_FALSE(read.lines.empty());
    EXPECT_LT(read.lines.size(), bytes.size() / 100);
    EXPECT_EQ(read.end, read.lines.back().first + 100) << "the first byte of the line not read";
    // A seek reads the file afresh.
    ASSERT_FALSE(reader.seek(read.end));
    Line line;
    ASSERT_TRUE(reader.next(line));
    EXPECT_EQ(line.offset, read.end);
    EXPECT_EQ(line.text, bytes.substr(read.end, 99));
}

TEST_F(SafeInterfaceTest, APipeReadsFrontToBackAndRefusesToSeek) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const std::string bytes = "one\n" + std::string(70000, 'L') + "\ntwo\n" + "cut";
    std::thread writer([&] {
        EXPECT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(ends[1]);
    });
    Reader reader;
    ASSERT_FALSE(reader.open(ends[0]));
    close(ends[0]);
    const ReadThrough read = readThrough(reader);
    writer.join();
    EXPECT_FALSE(read.error);
    EXPECT_EQ(read.lines,
              (std::vector<std::pair<uint64_t, std::string>>{{0, "one"}, {70005, "two"}}));
    ASSERT_EQ(read.skipped.size(), 2u);
    EXPECT_EQ(read.skipped[0].offset, 4u);
    EXPECT_EQ(read.skipped[1], (Stop{70009, errc::unterminated_line, "cut"}));
    EXPECT_EQ(read.end, bytes.size());
    EXPECT_EQ(reader.seek(0), std::errc::invalid_seek);
}

TEST_F(SafeInterfaceTest, OpenOfADescriptorReadsFromItsOffsetAndLeavesIt) {
    const std::string path = fileWith("zero\none\ntwo\n");
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, 5, SEEK_SET), 5);
    Reader reader;
    ASSERT_FALSE(reader.open(fd));
    const ReadThrough read = readThrough(reader);
    EXPECT_EQ(read.lines, (std::vector<std::pair<uint64_t, std::string>>{{5, "one"}, {9, "two"}}));
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 5) << "the caller's offset stays";
    ASSERT_FALSE(reader.seek(0));
    Line line;
    ASSERT_TRUE(reader.next(line));
    EXPECT_EQ(line.text, "zero");
    EXPECT_EQ(close(fd), 0) << "the caller keeps its descriptor";
    ASSERT_TRUE(reader.next(line)) << "the Reader reads its own";
    EXPECT_EQ(reader.open(fd), std::errc::bad_file_descriptor);
    const int writeOnly = ::open(path.c_str(), O_WRONLY);
    EXPECT_EQ(reader.open(writeOnly), std::errc::bad_file_descriptor);
    close(writeOnly);
    EXPECT_FALSE(reader.is_open());
}

}  // namespace
