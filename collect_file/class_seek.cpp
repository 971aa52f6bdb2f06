// CollectFileReaderWriter's positioning: the three forms of seek, a move within the bytes the
// stream holds without a system call, a far seek from the start that reads its small block with
// one pread(2), and the stream's own seek.

#include <cstdint>

#include "collect_file/CollectFileReaderWriter.h"
#include "collect_file/internal/class_shared.h"
#include "collect_file/internal/read_cursor.h"
#include "collect_file/internal/refill_policy.h"
#include "collect_file/internal/stream_buffer.h"

using collect_file_internal::GetArea;
using collect_file_internal::ReadCursor;
using collect_file_internal::RefillPolicy;

bool CollectFileReaderWriter::seek(unsigned long offset, SeekPosition origin) {
    if (seekWithinBuffer(offset, origin)) {
        return true;
    }
    // A stream that reached the end or failed cannot move: it is left failed and no longer at
    // the end of the file. A healthy stream moves from where it is.
    if (!fileStream.good()) {
        fileStream.clear((fileStream.rdstate() & ~std::ios_base::eofbit) | std::ios_base::failbit);
    }
    if (origin == SEEK_FROM_START && fileStream.good() && readsBlockFor(offset)) {
        return seekByReadingBlock(offset);
    }
    std::ios_base::seekdir direction = std::ios_base::cur;
    if (origin == SEEK_FROM_START) {
        direction = std::ios_base::beg;
    } else if (origin == SEEK_FROM_END) {
        direction = std::ios_base::end;
    }
    // A seek from the current position counts from the descriptor's offset, which must be
    // where the bytes held end; from the start or the end it does not matter where it was.
    // A failed catch-up fails the stream here, so the seek below does not move it.
    if (direction == std::ios_base::cur && !readCursor().catchUp()) {
        fileStream.setstate(std::ios_base::badbit);
    }
    // Reading there goes on in whole buffers, whatever an earlier small block left.
    return seekStream(offset, direction, false);
}

bool CollectFileReaderWriter::seekStream(uint64_t offset, std::ios_base::seekdir direction,
                                         bool smallBlockFirst) {
    ReadCursor cursor = readCursor();
    cursor.descriptorMoved();
    // Same bits as a signed offset, so values above 2^63 - 1 count backwards.
    fileStream.seekg(static_cast<std::streamoff>(offset), direction);
    if (smallBlockFirst) {
        RefillPolicy::smallBlock(fileStream.rdbuf());
    } else {
        RefillPolicy::whole(fileStream.rdbuf());
    }
    if (fileStream.fail()) {
        cursor.forgetPosition();
        return false;
    }
    // From the start the new position is the offset itself; otherwise it is asked of the
    // stream when next needed.
    if (direction == std::ios_base::beg) {
        cursor.setPosition(offset);
    } else {
        cursor.forgetPosition();
    }
    checkTrackedPosition();
    return true;
}

bool CollectFileReaderWriter::readsBlockFor(uint64_t target) {
    // Near the largest position a small block would meet the end of the file where a whole one
    // fails with a read error, so there reading stays as it is.
    const ReadCursor cursor = readCursor();
    if (!RefillPolicy::sizable() || accessMode != ACCESS_READ || !cursor.isRegularFile() ||
        target > static_cast<uint64_t>(INT64_MAX) - RefillPolicy::kWholeRefill) {
        return false;
    }
    // A target less than a whole buffer past the bytes held continues a walk through the file:
    // whole refills serve it better.
    if (cursor.positionKnown()) {
        const uint64_t heldEnd = cursor.heldEnd();
        if (target >= heldEnd && target - heldEnd < RefillPolicy::kWholeRefill) {
            return false;
        }
    }
    return true;
}

bool CollectFileReaderWriter::seekByReadingBlock(uint64_t target) {
    if (readCursor().readBlockFor(target)) {
        return true;
    }
    // The file ends before the target, could not be read, or refused the block's position:
    // stand at the target itself, or fail as a plain seek there would. A read error meets the
    // next read.
    return seekStream(target, std::ios_base::beg, true);
}

bool CollectFileReaderWriter::seekWithinBuffer(uint64_t offset, SeekPosition origin) {
    // Only a target known without a system call, on a healthy stream reading a regular file
    // (a pipe cannot go back, and a writer's stream holds no bytes to read).
    ReadCursor cursor = readCursor();
    if (origin == SEEK_FROM_END || !cursor.positionKnown() || accessMode != ACCESS_READ ||
        !cursor.isRegularFile() || !fileStream.good()) {
        return false;
    }
    std::streambuf* buffer = fileStream.rdbuf();
    char* const begin = GetArea::begin(buffer);
    if (begin == nullptr) {
        return false;
    }
    const uint64_t position = cursor.position();
    // Modular arithmetic: an offset above 2^63 - 1 counts backwards from the current position.
    const uint64_t target = origin == SEEK_FROM_START ? offset : position + offset;
    const uint64_t first = position - static_cast<uint64_t>(GetArea::next(buffer) - begin);
    const uint64_t held = static_cast<uint64_t>(GetArea::end(buffer) - begin);
    if (target < first || target - first > held) {
        return false;
    }
    GetArea::moveTo(buffer, begin + (target - first));
    cursor.setPosition(target);
    return true;
}

bool CollectFileReaderWriter::seek(unsigned long offset) {
    return seek(offset, SEEK_FROM_START);
}

bool CollectFileReaderWriter::seek(const char* /*name*/) {
    return !fileStream.fail();
}
