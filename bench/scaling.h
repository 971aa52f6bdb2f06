#ifndef COLLECT_FILE_BENCH_SCALING_H
#define COLLECT_FILE_BENCH_SCALING_H

#include <string>

#include "bench_support.h"

// Writes about targetBytes of the pool's lines (cycled) through the library and reads them back;
// returns the number of lines, or 0 when something failed.
size_t writeAndRead(const Workload& pool, const std::string& path, size_t targetBytes);

#endif  // COLLECT_FILE_BENCH_SCALING_H
