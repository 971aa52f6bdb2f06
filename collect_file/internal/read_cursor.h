// The read cursor: where reading stands in the file, and the reads that the library makes into
// the stream's buffer itself. Not installed.
//
// The object's layout is fixed, so the cursor keeps its state in three members that no
// operation gave a meaning of its own: whether the position is known (statusFlag), the position
// (auxValue1), and facts about the file as bits (auxValue2). A ReadCursor is a view of those
// members and the stream's file buffer, made where it is needed.
//
// The descriptor's own offset is normally where the bytes the buffer holds end. A seek outside
// the buffer breaks that on purpose: one pread(2) fills the buffer and leaves the offset behind,
// and refills go on with pread(2) from where the bytes held end, so a lookup and the reading
// after it cost one system call per block. Whatever else uses the offset (the stream's seek from
// the current position, its position report) needs the descriptor caught up first.

#ifndef COLLECT_FILE_INTERNAL_READ_CURSOR_H
#define COLLECT_FILE_INTERNAL_READ_CURSOR_H

#include <errno.h>
#include <sys/types.h>
#include <unistd.h>

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <fstream>

#include "collect_file/internal/refill_policy.h"
#include "collect_file/internal/stream_buffer.h"

namespace collect_file_internal {

class ReadCursor {
  public:
    // Bits of the facts member.
    static constexpr uint64_t kRegularFile = 1;  // the opened file is a regular one
    // The descriptor's offset is behind the end of the bytes held; implies a known position.
    static constexpr uint64_t kDescriptorBehind = 2;

    ReadCursor(bool& known, uint64_t& position, uint64_t& facts, std::filebuf* buffer)
        : known_(known), position_(position), facts_(facts), buffer_(buffer) {}

    // --- The position -------------------------------------------------------------------

    bool positionKnown() const { return known_; }
    // The offset of the next byte to deliver; requires positionKnown().
    uint64_t position() const {
        assert(known_ && "the position is known");
        return position_;
    }
    void setPosition(uint64_t position) {
        known_ = true;
        position_ = position;
    }
    // The position becomes unknown: it is asked of the stream when next needed, which is only
    // right with the descriptor caught up.
    void forgetPosition() {
        assert(!descriptorBehind() && "a descriptor behind implies a known position");
        known_ = false;
    }
    // Marks the next n held bytes delivered (n <= the bytes available) and moves the position
    // past them.
    void consume(size_t n) {
        assert(n <= GetArea::available(buffer_) && "only held bytes are consumed");
        GetArea::consume(buffer_, n);
        if (known_) {
            position_ += n;
        }
    }
    // The file offset at which the bytes held end; requires positionKnown().
    uint64_t heldEnd() const { return position() + GetArea::available(buffer_); }

    // --- Facts about the file -----------------------------------------------------------

    bool isRegularFile() const { return (facts_ & kRegularFile) != 0; }
    void setRegularFile(bool regular) {
        facts_ = (facts_ & ~kRegularFile) | (regular ? kRegularFile : 0);
    }
    bool descriptorBehind() const { return (facts_ & kDescriptorBehind) != 0; }
    // The stream's own seek has set the descriptor's offset (or failed it for good).
    void descriptorMoved() { setDescriptorBehind(false); }
    // A closed stream: no file, no position.
    void reset() {
        facts_ = 0;
        known_ = false;
    }

    // --- Reads of its own ---------------------------------------------------------------

    // Reads the aligned small block that holds target with one pread(2) into the stream's
    // array, which then holds it as if a refill had read it, the next byte at target; later
    // refills double from there. Leaves the descriptor behind. False, changing nothing the
    // caller sees, when the file ends before target or the read failed.
    bool readBlockFor(uint64_t target) {
        const uint64_t blockStart = RefillPolicy::blockStart(target);
        const ssize_t held = readAt(blockStart, RefillPolicy::kSmallBlock);
        if (held <= 0 || static_cast<uint64_t>(held) < target - blockStart) {
            return false;
        }
        holdRead(buffer_, static_cast<size_t>(held));
        GetArea::moveTo(buffer_, GetArea::begin(buffer_) + (target - blockStart));
        RefillPolicy::smallBlock(buffer_);
        setPosition(target);
        setDescriptorBehind(true);
        return true;
    }

    // A refill of an empty get area while the descriptor is behind: one pread(2) of the next
    // refill's size from where the bytes held end, the descriptor staying behind. False when
    // the descriptor is not behind, or when that read met the end of the file or an error: the
    // caller then catches up and lets the stream refill, which reports either as it always does.
    bool readNextBlock() {
        if (!descriptorBehind()) {
            return false;
        }
        assert(GetArea::available(buffer_) == 0 && "a refill follows the last byte held");
        const ssize_t held = readAt(heldEnd(), refillSize(buffer_));
        if (held <= 0) {
            return false;
        }
        holdRead(buffer_, static_cast<size_t>(held));
        return true;
    }

    // Brings a descriptor left behind to where the bytes held end. True when it was not behind
    // or got there. The flag is cleared before the lseek(2), which may fail: the descriptor's
    // offset is then unknown, and every caller fails the stream at once (badbit), so that no
    // later read or seek uses that offset.
    bool catchUp() {
        if (!descriptorBehind()) {
            return true;
        }
        setDescriptorBehind(false);
        const uint64_t end = heldEnd();
        return ::lseek(descriptorOf(buffer_), static_cast<off_t>(end), SEEK_SET) ==
               static_cast<off_t>(end);
    }

  private:
    void setDescriptorBehind(bool behind) {
        assert((!behind || known_) && "a descriptor behind implies a known position");
        facts_ = (facts_ & ~kDescriptorBehind) | (behind ? kDescriptorBehind : 0);
    }

    // One pread(2) of up to n bytes at offset into the stream's array, resumed when
    // interrupted. The bytes read, 0 at the end of the file, -1 on error.
    ssize_t readAt(uint64_t offset, size_t n) {
        ssize_t held = -1;
        do {
            held =
                ::pread(descriptorOf(buffer_), readArray(buffer_), n, static_cast<off_t>(offset));
        } while (held < 0 && errno == EINTR);
        return held;
    }

    bool& known_;
    uint64_t& position_;
    uint64_t& facts_;
    std::filebuf* buffer_;
};

}  // namespace collect_file_internal

#endif  // COLLECT_FILE_INTERNAL_READ_CURSOR_H
