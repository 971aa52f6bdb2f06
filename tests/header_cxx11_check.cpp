// Compiled as C++11 to keep the public header usable by older clients.
#include <collect_file/CollectFileReaderWriter.h>

#include "object_size.h"

static_assert(sizeof(AccessMode) == 4 && sizeof(SeekPosition) == 4 && sizeof(EntryType) == 4,
              "enumerations are 32-bit");

// Clients allocate the object themselves: its layout is part of the binary interface, and must
// be the same whichever standard a client compiles with (the library itself is built as C++17).
// The members in their declared order, as a plain struct: the standard library's own types
// differ in size between libstdc++ and libc++, the order and the fixed members do not.
struct ExpectedLayout {
    bool statusFlag;
    AccessMode accessMode;
    std::fstream fileStream;
    std::string fileName;
    char readDelimiter;
    std::map<EntryType, uint64_t> typeTable1;
    std::map<EntryType, uint64_t> typeTable2;
    char writeBuffer[65536 + 1];
    char secondBuffer[65536];
    std::map<std::string, uint64_t> nameTable;
    int32_t presetValue;
    int32_t bufferedLength;
    uint64_t auxValue1;
    uint64_t auxValue2;
};
static_assert(sizeof(CollectFileReaderWriter) == sizeof(ExpectedLayout) &&
                  alignof(CollectFileReaderWriter) == alignof(ExpectedLayout),
              "object layout changed");
