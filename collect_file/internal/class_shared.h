// What the class's rooms share (class_open.cpp, class_write.cpp, class_read.cpp,
// class_seek.cpp): the read cursor made from the object's members, inline in every room so that
// the read and seek paths make no call for it. Not installed.

#ifndef COLLECT_FILE_INTERNAL_CLASS_SHARED_H
#define COLLECT_FILE_INTERNAL_CLASS_SHARED_H

#include "collect_file/CollectFileReaderWriter.h"
#include "collect_file/internal/read_cursor.h"

inline collect_file_internal::ReadCursor CollectFileReaderWriter::readCursor() {
    return collect_file_internal::ReadCursor(statusFlag, auxValue1, auxValue2, fileStream.rdbuf());
}

#endif  // COLLECT_FILE_INTERNAL_CLASS_SHARED_H
