#include "output.h"

#include <errno.h>
#include <unistd.h>

#include "status.h"
#include "text.h"

namespace collect_file_tool {

int writeFully(int descriptor, const char* bytes, std::size_t n) {
    for (std::size_t done = 0; done < n;) {
        const ssize_t written = ::write(descriptor, bytes + done, n - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written < 0 ? errno : EIO;
        }
        done += static_cast<std::size_t>(written);
    }
    return 0;
}

void Output::writeAll(std::string_view bytes) {
    if (error_ == 0) {
        error_ = writeFully(descriptor_, bytes.data(), bytes.size());
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

void say(Console& console, std::string_view message) {
    const std::string line = "collect-file: " + std::string(message) + "\n";
    writeFully(console.errDescriptor, line.data(), line.size());
}

void complain(Console& console, std::string_view name, std::string_view message) {
    console.out.flush();
    say(console, shown(name, console.escapeErr) + ": " + std::string(message));
}

int usageError(Console& console, std::string_view message) {
    say(console, shown(message, console.escapeErr) + " (see collect-file --help)");
    return kFailure;
}

}  // namespace collect_file_tool
