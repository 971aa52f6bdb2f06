#include "pump.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "output.h"

namespace collect_file_tool {

namespace {

const std::size_t kCopyPiece = 65536;

}  // namespace

Pump::~Pump() {
    if (thread_.joinable()) {
        const char stop = 0;
        while (::write(stop_[1], &stop, 1) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    for (const int end : stop_) {
        if (end >= 0) {
            ::close(end);
        }
    }
}

int Pump::start() {
    int ends[2];
    if (pipe2(stop_, O_CLOEXEC) != 0 || pipe2(ends, O_CLOEXEC) != 0) {
        return -1;
    }
    output_ = ends[1];
    thread_ = std::thread([this] { run(); });
    return ends[0];
}

Pump::Facts Pump::facts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return facts_;
}

void Pump::fail(int error, const char* call) {
    std::lock_guard<std::mutex> lock(mutex_);
    facts_.error = error;
    facts_.failed = call;
}

void Pump::run() {
    // A reader that stops early closes its end: this thread then gets EPIPE instead of the
    // process being stopped by SIGPIPE.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    std::vector<char> buffer(kCopyPiece);
    for (bool open = true; open;) {
        pollfd waitFor[2] = {{input_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        const int ready = poll(waitFor, 2, -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            fail(errno, "poll");
            break;
        }
        if (waitFor[1].revents != 0) {
            break;  // stopped: nobody reads the copy any more
        }
        const ssize_t n = ::read(input_, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            fail(errno, "");
            break;
        }
        if (n == 0) {
            break;
        }
        const char* bytes = buffer.data();
        auto length = static_cast<std::size_t>(n);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const std::uint64_t first = facts_.total;
            facts_.total += length;
            if (first < skip_) {
                const auto dropped =
                    static_cast<std::size_t>(std::min<std::uint64_t>(skip_ - first, length));
                if (first + dropped == skip_) {
                    facts_.byteBeforeSkip = static_cast<unsigned char>(bytes[dropped - 1]);
                }
                bytes += dropped;
                length -= dropped;
            }
            if (length > 0) {
                facts_.lastByte = static_cast<unsigned char>(bytes[length - 1]);
            }
        }
        open = pass(bytes, length);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        facts_.done = true;
    }
    ::close(output_);  // the reader sees the end only now, with every fact recorded
}

bool Pump::pass(const char* bytes, std::size_t n) {
    const int error = writeFully(output_, bytes, n);
    // EPIPE: the reader stopped, and what it read is all it asked for.
    if (error != 0 && error != EPIPE) {
        fail(error, "write");
    }
    return error == 0;
}

}  // namespace collect_file_tool
