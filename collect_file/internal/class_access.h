// The safe interface's one way into CollectFileReaderWriter's private state. Not installed.
//
// collect_file::Reader follows the class's read position and tells why it stopped from its
// stream's state, and collect_file::Writer hands over lines it has already measured; nothing else
// reaches inside.

#ifndef COLLECT_FILE_INTERNAL_CLASS_ACCESS_H
#define COLLECT_FILE_INTERNAL_CLASS_ACCESS_H

#include <cstdint>
#include <ios>

#include "collect_file/CollectFileReaderWriter.h"

namespace collect_file_internal {

struct ClassAccess {
    // The state of the object's stream: eofbit at the end of the file, failbit alone after a line
    // too long to deliver, badbit after a read error or an unknown read position.
    static std::ios_base::iostate streamState(const CollectFileReaderWriter& object) {
        return object.fileStream.rdstate();
    }
    // Whether the object knows its read position without asking the system.
    static bool positionKnown(const CollectFileReaderWriter& object) {
        return object.positionKnown();
    }
    // Sets position to the object's read position and returns true while it is tracked: the
    // first byte after the last line read, its delimiter included (statusFlag, auxValue1).
    static bool trackedPosition(const CollectFileReaderWriter& object, uint64_t& position) {
        position = object.auxValue1;
        return object.statusFlag;
    }
    // readLine(text), and the read position after the line in end: false when no line was read
    // or the position is not tracked.
    static bool readLineEnd(CollectFileReaderWriter& object, std::string& text, uint64_t& end) {
        return object.readLineEnd(text, end);
    }
    // writeLine for n bytes at text, which need not end with a NUL.
    static bool writeText(CollectFileReaderWriter& object, const char* text, uint64_t n) {
        return object.writeText(text, n);
    }
};

}  // namespace collect_file_internal

#endif  // COLLECT_FILE_INTERNAL_CLASS_ACCESS_H
