// collect_file::Writer under attack: every system call of create, append, flush and commit fails
// or kills the process in turn; files that end inside a line, long names, folders that cannot be
// read, an unprivileged user with a tight umask, and appenders sharing a FIFO.

#include <collect_file/collect_file.h>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fault_injector.h"
#include "test_support.h"

namespace {

using collect_file::errc;
using collect_file::Writer;
using fault_injector::Fault;

const uid_t kNobody = 65534;

// The names in a folder, with their modes.
std::vector<std::pair<std::string, mode_t>> entriesOf(const std::string& folder) {
    std::vector<std::pair<std::string, mode_t>> entries;
    DIR* list = opendir(folder.c_str());
    while (dirent* entry = list != nullptr ? readdir(list) : nullptr) {
        struct stat status;
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && lstat((folder + "/" + name).c_str(), &status) == 0) {
            entries.emplace_back(name, status.st_mode & 07777);
        }
    }
    if (list != nullptr) {
        closedir(list);
    }
    return entries;
}

// Runs body in a child process; its exit status, or -signal when a signal ended it.
int inChild(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// The lines every scenario writes: past the 64 KiB buffer, so that write() flushes too.
std::string scenarioLines() {
    std::string bytes;
    for (int i = 0; i < 300; ++i) {
        bytes += std::to_string(i) + std::string(500, 'x') + "\n";
    }
    return bytes + "tail\n";
}

// create() or append() of path, the lines (every other one without its '\n'), flush() half way,
// commit(); the first error. `opened`: create() or append() succeeded.
std::error_code runScenario(const std::string& path, bool create, bool* opened = nullptr) {
    Writer writer;
    std::error_code error = create ? writer.create(path) : writer.append(path);
    if (opened != nullptr) {
        *opened = !error;
    }
    const std::string bytes = scenarioLines();
    for (size_t at = 0, line = 0; !error && at < bytes.size(); ++line) {
        const size_t end = bytes.find('\n', at) + 1;
        error = writer.write(std::string_view(bytes).substr(at, end - at - (line % 2)));
        at = end;
        error = error || line != 150 ? error : writer.flush();
    }
    return error ? error : writer.commit();
}

// What a scenario that stopped may leave at `path`: for create() the old bytes or the new ones,
// for append() the old bytes and whole lines of the new.
void expectNothingHalfDone(const std::string& file, const std::string& before, bool create) {
    const std::string intended = (create ? "" : before) + scenarioLines();
    if (create) {
        EXPECT_TRUE(file == before || file == intended);
    } else {
        EXPECT_TRUE(isPrefixOf(file, intended));
        EXPECT_GE(file.size(), before.size());
        EXPECT_TRUE(file.empty() || file.back() == '\n') << "a cut line";
    }
}

class SafeWriterTest : public TempDirTest {};

// Variants: create() or append(), over a file or not, with unnamed files or without, on the
// longest name there is.
TEST_F(SafeWriterTest, EverySystemCallFailsAndNothingIsLeftHalfDone) {
    const struct {
        Fault fault;
        int error;
    } faults[] = {
        {Fault::kError, ENOSPC},  {Fault::kShortThenError, EFBIG}, {Fault::kShortThenError, EIO},
        {Fault::kShortWrite, 0},  {Fault::kInterrupt, 0},          {Fault::kSyncError, EIO},
        {Fault::kStatError, EIO}, {Fault::kNameError, EACCES},     {Fault::kNameError, EOPNOTSUPP},
    };
    const std::string path = pathOf(std::string(NAME_MAX, 'n'));
    for (const auto& f : faults) {
        for (int variant = 0; variant < 8; ++variant) {
            const bool create = variant & 1;
            const std::string before = variant & 2 ? "old\n" : "";
            const bool unnamed = variant & 4;
            for (int position = 0;; ++position) {
                SCOPED_TRACE(::testing::Message()
                             << fault_injector::nameOf(f.fault) << " " << f.error
                             << (create ? ", create" : ", append")
                             << (before.empty() ? "" : " over") << (unnamed ? "" : ", named")
                             << ", call " << position);
                ASSERT_LT(position, 100);
                if (!before.empty()) {
                    writeBytes(path, before);
                }
                fault_injector::refuseUnnamedFiles(!unnamed);
                fault_injector::arm(f.fault, position, f.error);
                bool opened = false;
                const std::error_code error = runScenario(path, create, &opened);
                const bool injected = fault_injector::disarm();
                fault_injector::refuseUnnamedFiles(false);
                const std::string file = readBytes(path);
                expectNothingHalfDone(file, before, create);
                EXPECT_TRUE(error || sameBytes(file, (create ? "" : before) + scenarioLines()));
                EXPECT_LE(entriesOf(folder_).size(), 1u) << "a temporary file was left";
                if (before.empty() && !opened) {
                    EXPECT_EQ(access(path.c_str(), F_OK), -1) << "a failed open made it";
                }
                EXPECT_FALSE(!create && Writer().append(path)) << "refused after the fault";
                unlink(path.c_str());
                if (!injected) {
                    EXPECT_FALSE(error);
                    break;
                }
            }
        }
    }
}

TEST_F(SafeWriterTest, AKillAtAnyCallLeavesTheOldFileOrTheNewOneAndNothingReadable) {
    // /tmp's file system (ext4 here), tmpfs in /dev/shm, and the folders that
    // COLLECT_FILE_TEST_FOLDERS lists, separated by ':' (xfs and btrfs mounts, say).
    std::vector<std::string> roots = {"/tmp", "/dev/shm"};
    const char* more = getenv("COLLECT_FILE_TEST_FOLDERS");
    for (std::string list = more != nullptr ? more : ""; !list.empty();) {
        const size_t colon = std::min(list.find(':'), list.size());
        roots.push_back(list.substr(0, colon));
        list.erase(0, colon + 1);
    }
    for (const std::string& root : roots) {
        std::string folder = root + "/collect_file_kill.XXXXXX";
        if (mkdtemp(&folder[0]) == nullptr) {
            continue;
        }
        const std::string path = folder + "/file";
        for (int variant = 0; variant < 3; ++variant) {  // create, create named, append
            const bool create = variant < 2;
            const bool unnamed = variant != 1;
            int leftovers = 0;
            for (int position = 0;; ++position) {
                SCOPED_TRACE(::testing::Message()
                             << root << ", variant " << variant << ", call " << position);
                ASSERT_LT(position, 100);
                writeBytes(path, "old\n");
                ASSERT_EQ(chmod(path.c_str(), 0600), 0);
                const int status = inChild([&] {
                    fault_injector::refuseUnnamedFiles(!unnamed);
                    fault_injector::arm(Fault::kKill, position, 0);
                    return runScenario(path, create) ? 1 : 0;
                });
                expectNothingHalfDone(readBytes(path), "old\n", create);
                for (const auto& [name, mode] : entriesOf(folder)) {
                    if (name != "file") {
                        ++leftovers;
                        EXPECT_EQ(mode, 0600u) << name << ": others could open it";
                        unlink((folder + "/" + name).c_str());
                    }
                }
                if (status != -SIGKILL) {
                    EXPECT_EQ(status, 0);
                    break;
                }
            }
            EXPECT_LE(leftovers, unnamed ? 1 : 100) << "a name only between link and rename";
        }
        unlink(path.c_str());
        rmdir(folder.c_str());
    }
}

TEST_F(SafeWriterTest, AppendRefusesAFileThatEndsInsideALine) {
    for (const std::string& bytes : {std::string("item 1\nla"), std::string("a\n\0", 3)}) {
        const std::string path = fileWith(bytes, "log");
        Writer writer;
        EXPECT_EQ(writer.append(path), errc::unterminated_line);
        EXPECT_EQ(writer.write("new"), errc::not_open);
        EXPECT_EQ(readBytes(path), bytes);
    }
}

TEST_F(SafeWriterTest, FlushShowsAppendedLinesAndKeepsACreatedPathAsItWas) {
    const std::string path = fileWith("old\n", "log");
    Writer appender;
    Writer creator;
    ASSERT_FALSE(appender.append(path));
    ASSERT_FALSE(creator.create(path));
    for (Writer* writer : {&appender, &creator}) {
        ASSERT_FALSE(writer->write(writer == &appender ? "one" : "new"));
        ASSERT_FALSE(writer->flush());
        EXPECT_EQ(readBytes(path), "old\none\n");
    }
    ASSERT_FALSE(appender.write("two"));
    ASSERT_FALSE(appender.commit());
    EXPECT_EQ(readBytes(path), "old\none\ntwo\n") << "the file stayed open";
    ASSERT_FALSE(creator.commit());
    EXPECT_EQ(readBytes(path), "new\n");
}

TEST_F(SafeWriterTest, AnUnprivilegedUserWithATightUmaskWritesWhereTheClassWould) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can become nobody";
    }
    ASSERT_EQ(chmod(folder_.c_str(), 0711), 0);
    // Folders that may be read, and that may be written and searched but not read.
    for (int variant = 0; variant < 4; ++variant) {
        const mode_t folderMode = variant & 1 ? 0300 : 0700;
        const bool unnamed = variant & 2;
        SCOPED_TRACE(::testing::Message() << "variant " << variant);
        const std::string folder = pathOf(std::to_string(variant));
        ASSERT_EQ(mkdir(folder.c_str(), folderMode), 0);
        ASSERT_EQ(chown(folder.c_str(), kNobody, kNobody), 0);
        const int status = inChild([&] {
            if (setgid(kNobody) != 0 || setuid(kNobody) != 0) {
                return 10;
            }
            umask(0277);
            fault_injector::refuseUnnamedFiles(!unnamed);
            const std::string created = folder + "/created";
            return runScenario(created, true)            ? 1
                   : runScenario(created, true)          ? 2  // over the 0400 file
                   : runScenario(folder + "/log", false) ? 3
                                                         : 0;
        });
        EXPECT_EQ(status, 0);
        ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
        auto entries = entriesOf(folder);
        std::sort(entries.begin(), entries.end());
        EXPECT_EQ(entries, (decltype(entries){{"created", 0400}, {"log", 0400}}));
        EXPECT_TRUE(sameBytes(readBytes(folder + "/created"), scenarioLines()));
        EXPECT_TRUE(sameBytes(readBytes(folder + "/log"), scenarioLines()));
    }
}

TEST_F(SafeWriterTest, AppendersToAFifoNeverTearALine) {
    const std::string fifo = pathOf("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int held = open(fifo.c_str(), O_RDWR);  // no end of file before every appender is done
    auto lineOf = [](int appender, int i) {
        return std::to_string(appender) + " " + std::to_string(i) + std::string(90, 'a');
    };
    std::string received;
    std::thread reader([&] {  // slower than the appenders: 512 bytes at a time, with a pause
        const int fd = open(fifo.c_str(), O_RDONLY);
        char bytes[512];
        for (ssize_t n; (n = read(fd, bytes, sizeof bytes)) > 0; usleep(20)) {
            received.append(bytes, static_cast<size_t>(n));
        }
        close(fd);
    });
    std::vector<std::thread> appenders;
    for (int appender = 0; appender < 4; ++appender) {
        appenders.emplace_back([&, appender] {
            Writer writer;
            EXPECT_FALSE(writer.append(fifo));
            for (int i = 0; i < 3000; ++i) {
                EXPECT_FALSE(writer.write(lineOf(appender, i)));
            }
            EXPECT_FALSE(writer.commit());
        });
    }
    for (std::thread& appender : appenders) {
        appender.join();
    }
    close(held);
    reader.join();
    std::vector<int> next(4, 0);  // each appender's lines, whole and in order
    int torn = 0;
    for (size_t at = 0, end; (end = received.find('\n', at)) != std::string::npos; at = end + 1) {
        const int appender = std::min<unsigned>(received[at] - '0', 3);
        torn += received.compare(at, end - at, lineOf(appender, next[appender]++)) != 0;
    }
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(next, std::vector<int>(4, 3000));
}

}  // namespace
