// The copying thread: a stream (a pipe, a FIFO, standard input, a /proc file) reaches the
// library through a pipe of the tool's own, and on the way this records what the library
// cannot tell: where the input ended, with which byte, and why.

#ifndef COLLECT_FILE_TOOL_PUMP_H
#define COLLECT_FILE_TOOL_PUMP_H

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace collect_file_tool {

class Pump {
  public:
    // Copies `input` (not closed here) from where it stands, dropping its first `skip` bytes.
    Pump(int input, std::uint64_t skip) : input_(input), skip_(skip) {}
    // Stops the copy, also one waiting for input that says nothing more, and waits for it. The
    // reading end should be closed first, so that a copy blocked on a full pipe ends.
    ~Pump();
    Pump(const Pump&) = delete;
    Pump& operator=(const Pump&) = delete;

    // Starts copying; the descriptor (close-on-exec) to read the copy from, or -1 with errno
    // set when no pipe could be made.
    int start();

    struct Facts {
        bool done = false;        // the copy ended: nothing more will come
        int error = 0;            // errno of a failed read, poll or write; 0 for none
        const char* failed = "";  // "" for a read of the input, else the call that failed
        std::uint64_t total = 0;  // input bytes read, the skipped ones included
        int lastByte = -1;        // the last byte read, -1 for none
        int byteBeforeSkip = -1;  // the byte at skip - 1, -1 when not read
    };
    // What is known so far; final once `done`.
    Facts facts();

  private:
    void run();
    void fail(int error, const char* call);
    // Writes the bytes to the copy; false once they cannot go there.
    bool pass(const char* bytes, std::size_t n);

    int input_;
    int output_ = -1;
    int stop_[2] = {-1, -1};  // written to stop the copy
    std::uint64_t skip_;
    std::mutex mutex_;
    Facts facts_;
    std::thread thread_;
};

}  // namespace collect_file_tool

#endif
