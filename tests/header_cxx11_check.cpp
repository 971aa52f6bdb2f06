// Compiled as C++11 to keep the public header usable by older clients.
#include <collect_file/CollectFileReaderWriter.h>

#include "object_size.h"

static_assert(sizeof(AccessMode) == 4 && sizeof(SeekPosition) == 4 && sizeof(EntryType) == 4,
              "enumerations are 32-bit");

// Clients allocate the object themselves: its size, checked by object_size.h, must be the same
// whichever standard a client compiles with (the library itself is built as C++17, and checks
// the offset of every member where it can name them: in the constructor).
