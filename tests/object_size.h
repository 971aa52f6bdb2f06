#ifndef COLLECT_FILE_TESTS_OBJECT_SIZE_H
#define COLLECT_FILE_TESTS_OBJECT_SIZE_H

#include <collect_file/CollectFileReaderWriter.h>

// The size of the object that clients of major version 1 allocate, on x86-64 with each standard
// library. Every unit that includes this checks it, whatever C++ standard it is compiled with.
#if defined(_LIBCPP_VERSION)
static_assert(sizeof(CollectFileReaderWriter) == 131560, "object size changed (libc++)");
#elif defined(__GLIBCXX__)
static_assert(sizeof(CollectFileReaderWriter) == 131824, "object size changed (libstdc++)");
#endif

#endif  // COLLECT_FILE_TESTS_OBJECT_SIZE_H
