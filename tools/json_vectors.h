// The vector parts of the tool's JSON escaping: json_avx2.cpp, compiled for AVX2, and
// json_avx512.cpp, compiled for AVX-512 VBMI2; json.cpp calls each only where the processor has
// what it was compiled for. What both use is here, in an anonymous namespace, so that each file
// has its own copy, compiled as that file is.

#ifndef COLLECT_FILE_TOOL_JSON_VECTORS_H
#define COLLECT_FILE_TOOL_JSON_VECTORS_H

#include <cstddef>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace collect_file_tool {

// Copies s[i..n) to `to`, advancing both, up to the first byte that needs more than a copy (a
// control, DEL, a byte of 0x80 or more) or the end, with a backslash before each `"` and `\`.
// Texts shorter than 16 bytes are left to the caller, and so may be the last few bytes before a
// byte that needs more. Stores up to 32 bytes past the end of what it wrote, and may write again,
// to the same bytes, up to 31 bytes it wrote before for s[..i).
void copyPlainAvx2(const unsigned char* s, std::size_t n, std::size_t& i, char*& to);
// The same, faster, with AVX-512 VBMI2.
void copyPlainAvx512(const unsigned char* s, std::size_t n, std::size_t& i, char*& to);

#if defined(__AVX2__)
namespace {

// The bytes of a block that need more than a copy: a control, DEL, 0x80 or more (signed
// compares: those are below the space too).
inline unsigned otherBytes(__m256i bytes) {
    return static_cast<unsigned>(
        _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(0x20), bytes),
                                             _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(0x7f)))));
}

// The bytes of a block escaped with a backslash: `"` and `\`.
inline unsigned escapedBytes(__m256i bytes) {
    return static_cast<unsigned>(
        _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('"')),
                                             _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\\')))));
}

// The blocks of 32 bytes from s[i] on, each given to writeBlock(bytes, escaped, to) (which writes
// its 32 bytes, a backslash before each one marked in `escaped`, and advances `to`), while none of
// their bytes needs more than a copy. Then the last bytes, fewer than 32, as the block that ends
// where the text ends: its first bytes were escaped already, by this call or an earlier one, and
// when none of the block needs more than a copy they are written again over the end of their own
// output, to the same bytes. No branch depends on where the `"` and `\` are.
template <typename WriteBlock>
inline void copyBlocks(const unsigned char* s, std::size_t n, std::size_t& i, char*& to,
                       WriteBlock writeBlock) {
    for (; i + 32 <= n; i += 32) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
        if (otherBytes(bytes) != 0) {
            return;
        }
        writeBlock(bytes, escapedBytes(bytes), to);
    }
    if (i < n && n >= 32) {
        const __m256i last = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + n - 32));
        if (otherBytes(last) == 0) {
            const unsigned escaped = escapedBytes(last);
            const auto again = static_cast<unsigned>(32 - (n - i));
            to -= again + static_cast<unsigned>(__builtin_popcount(escaped & ((1u << again) - 1)));
            writeBlock(last, escaped, to);
            i = n;
        }
    }
}

}  // namespace
#endif

}  // namespace collect_file_tool

#endif
