// The object among other processes and threads: children started with exec, processes
// appending to one file, and a thread cancelled while it waits for a line.

#include <collect_file/CollectFileReaderWriter.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

class ProcessTest : public TempDirTest {};

// The descriptor this process holds on path, or -1.
int descriptorOn(const std::string& path) {
    struct stat target;
    if (stat(path.c_str(), &target) != 0) {
        return -1;
    }
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        struct stat status;
        if (fstat(fd, &status) == 0 && status.st_dev == target.st_dev &&
            status.st_ino == target.st_ino) {
            return fd;
        }
    }
    return -1;
}

// Exit status of a shell command run by fork and exec.
int runInChild(const std::string& command) {
    const pid_t child = fork();
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ProcessTest, ChildrenStartedWithExecDoNotInheritTheFile) {
    for (AccessMode mode : {ACCESS_READ, ACCESS_WRITE, ACCESS_APPEND}) {
        SCOPED_TRACE(::testing::Message() << "mode " << mode);
        const std::string path = fileWith("a\n");
        CollectFileReaderWriter object;
        ASSERT_TRUE(object.OpenFile(path, mode));
        const int fd = descriptorOn(path);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(runInChild("[ -e /proc/self/fd/" + std::to_string(fd) + " ]"), 1)
            << "descriptor " << fd << " is open in the child";
    }
}

// Line i of appender p: its tag, then a body of one letter whose length depends on i; every
// 40th text is longer than the write buffer and has no newline of its own.
std::string appenderText(int p, int i) {
    const size_t length = i % 40 == 7 ? 70000 : 10 + (i * 37) % 300;
    return std::to_string(p) + ":" + std::to_string(i) + ":" + std::string(length, 'a' + p);
}

TEST_F(ProcessTest, ConcurrentAppendersNeverTearALine) {
    if (!kDescriptorKnown) {
        GTEST_SKIP() << "through the stream a long text and its newline are two writes";
    }
    const int kAppenders = 4;
    const int kLines = 400;
    const std::string path = pathOf("shared");
    std::vector<pid_t> children;
    for (int p = 0; p < kAppenders; ++p) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            auto writer = std::make_unique<CollectFileReaderWriter>();
            bool ok = writer->OpenFile(path, ACCESS_APPEND);
            for (int i = 0; i < kLines && ok; ++i) {
                ok = writer->writeLine(appenderText(p, i).c_str());
            }
            ok = writer->Close() && ok;
            _exit(ok ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::vector<int> nextLine(kAppenders, 0);
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const int p = line[0] - '0';
        ASSERT_TRUE(p >= 0 && p < kAppenders) << "torn line: " << line.substr(0, 40);
        ASSERT_TRUE(line == appenderText(p, nextLine[p])) << "torn line: " << line.substr(0, 40);
        ++nextLine[p];
    }
    EXPECT_EQ(nextLine, std::vector<int>(kAppenders, kLines));
}

struct BlockedReader {
    std::string path;
    std::atomic<bool> reading{false};
};

void* readForever(void* argument) {
    BlockedReader* blocked = static_cast<BlockedReader*>(argument);
    CollectFileReaderWriter reader;
    if (reader.OpenFile(blocked->path, ACCESS_READ)) {
        blocked->reading = true;
        std::string line;
        reader.readLine(line);  // no writer ever writes: waits until cancelled
    }
    return nullptr;
}

TEST_F(ProcessTest, AThreadCancelledWhileReadingUnwinds) {
    if (!kCancellationUnwinds) {
        // Debian's libc++ brings LLVM's libunwind, which crashes in glibc's unwinding of a
        // cancelled thread even for a plain std::getline on an std::ifstream.
        GTEST_SKIP() << "cancellation crashes in libc++'s unwinder";
    }
    BlockedReader blocked;
    blocked.path = pathOf("fifo");
    ASSERT_EQ(mkfifo(blocked.path.c_str(), 0600), 0);
    // Held open for writing, so that opening for reading does not wait and reading does.
    const int writerEnd = open(blocked.path.c_str(), O_RDWR);
    ASSERT_GE(writerEnd, 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, readForever, &blocked), 0);
    while (!blocked.reading) {
        usleep(1000);
    }
    ASSERT_EQ(pthread_cancel(thread), 0);
    void* result = nullptr;
    ASSERT_EQ(pthread_join(thread, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
    close(writerEnd);
}

}  // namespace
