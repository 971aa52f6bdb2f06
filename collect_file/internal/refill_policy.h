// How many bytes each refill of the read buffer takes. Not installed.
//
// Reading front to back takes whole buffers, one system call per 64 KiB. A seek outside the
// buffer reads only the small aligned block that holds its target: going back to a recorded
// entry then copies 4 KiB, not 64. If reading goes on from there, each refill doubles until it
// takes a whole buffer again. With a standard library that does not let refills be sized, they
// are always whole (stream_buffer.h).

#ifndef COLLECT_FILE_INTERNAL_REFILL_POLICY_H
#define COLLECT_FILE_INTERNAL_REFILL_POLICY_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>

#include "collect_file/internal/stream_buffer.h"

namespace collect_file_internal {

class RefillPolicy {
  public:
    // The stream's buffer: the object's second 64 KiB array.
    static constexpr size_t kBufferSize = 65536;
    // A whole refill: the stream reads its buffer's size less one byte.
    static constexpr size_t kWholeRefill = kBufferSize - 1;
    // The block read after a seek outside the buffer, from a position aligned to its size: one
    // page, and more than any line a text form delivers.
    static constexpr size_t kSmallBlock = 4096;

    // Whether refills can be sized at all.
    static bool sizable() { return kDescriptorKnown; }
    // The start of the small block that holds target.
    static uint64_t blockStart(uint64_t target) {
        return target & ~static_cast<uint64_t>(kSmallBlock - 1);
    }
    // After a seek outside the buffer: the next refill reads one small block.
    static void smallBlock(std::filebuf* buffer) { setRefillSize(buffer, kSmallBlock); }
    // Before a refill: one that follows a small block reads twice as much as the last.
    static void beforeRefill(std::filebuf* buffer) {
        const size_t last = refillSize(buffer);
        if (last != 0 && last < kWholeRefill) {
            setRefillSize(buffer, std::min(2 * last, kWholeRefill));
        }
    }
    // Refills take whole buffers again.
    static void whole(std::filebuf* buffer) { setRefillSize(buffer, kWholeRefill); }
};

}  // namespace collect_file_internal

#endif  // COLLECT_FILE_INTERNAL_REFILL_POLICY_H
