// The AVX2 copy of json_blocks.h, compiled for AVX2 and called only where the processor has it.

#include "json_blocks.h"

namespace collect_file_tool {

void copyPlainAvx2(const unsigned char* s, std::size_t n, std::size_t& i, char*& to) {
#if defined(__AVX2__)
    copyBlocks<Avx2>(s, n, i, to);
#else
    (void)s, (void)n, (void)i, (void)to;
#endif
}

}  // namespace collect_file_tool
