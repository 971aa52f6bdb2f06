// JSON escaping with AVX-512 VBMI2. Each block of 32 bytes is expanded into place with one
// instruction, which leaves a gap before every `"` and `\` and fills it with a backslash; where
// the gaps go comes from the block's mask of escaped bytes with two bit instructions.

#include "json_vectors.h"

#if defined(__AVX512VBMI2__) && defined(__AVX512BW__) && defined(__BMI2__)

#include <cstdint>

namespace collect_file_tool {

namespace {

// A block of copyBlocks(). Stores up to 32 bytes past its end.
inline void expandBlock(__m256i bytes, unsigned escaped, char*& to) {
    // Two bits a byte, the second for the byte and the first for a backslash before it, the
    // first kept only for escaped bytes; then the kept ones packed: which bytes of the result
    // are the block's, in order, and which backslashes.
    const std::uint64_t twoBits = _pdep_u64(escaped, 0x5555555555555555) | 0xaaaaaaaaaaaaaaaa;
    const std::uint64_t fromBlock = _pext_u64(0xaaaaaaaaaaaaaaaa, twoBits);
    _mm512_storeu_si512(to, _mm512_mask_expand_epi8(_mm512_set1_epi8('\\'), fromBlock,
                                                    _mm512_castsi256_si512(bytes)));
    to += 32 + __builtin_popcount(escaped);
}

}  // namespace

void copyPlainAvx512(const unsigned char* s, std::size_t n, std::size_t& index, char*& out) {
    // Kept in registers: a store of a char through `to` may alias `index` and `out`.
    std::size_t i = index;
    char* to = out;
    copyBlocks(s, n, i, to, expandBlock);
    index = i;
    out = to;
    if (i < n) {
        copyPlainAvx2(s, n, index, out);
    }
}

}  // namespace collect_file_tool

#else

namespace collect_file_tool {

void copyPlainAvx512(const unsigned char* s, std::size_t n, std::size_t& i, char*& to) {
    copyPlainAvx2(s, n, i, to);
}

}  // namespace collect_file_tool

#endif
