#include "output.h"

#include <errno.h>
#include <unistd.h>

#include <cstdio>

#include "status.h"
#include "text.h"

namespace collect_file_tool {

void Output::writeAll(std::string_view bytes) {
    std::size_t done = 0;
    while (error_ == 0 && done < bytes.size()) {
        const ssize_t n = ::write(descriptor_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error_ = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
}

void Output::putPastBuffer(std::string_view text) {
    flush();
    if (text.size() >= kPiece) {
        writeAll(text);
    } else {
        std::memcpy(buffer_.get(), text.data(), text.size());
        used_ = text.size();
    }
}

bool Output::flush() {
    writeAll(std::string_view(buffer_.get(), used_));
    used_ = 0;
    return error_ == 0;
}

int Output::finish() {
    flush();
    if (error_ == 0 && ::close(descriptor_) != 0 && errno != EBADF && errno != EINTR) {
        error_ = errno;
    }
    return error_;
}

void complain(Console& console, std::string_view name, std::string_view message) {
    console.out.flush();
    const std::string line =
        "collect-file: " + shown(name, console.escapeErr) + ": " + std::string(message) + "\n";
    std::fputs(line.c_str(), stderr);
}

int usageError(std::string_view message, bool escape) {
    const std::string line =
        "collect-file: " + shown(message, escape) + " (see collect-file --help)\n";
    std::fputs(line.c_str(), stderr);
    return kFailure;
}

}  // namespace collect_file_tool
