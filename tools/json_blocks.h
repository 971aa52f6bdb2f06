// The run of bytes that a JSON string keeps as they are (and `"` and `\`, escaped on the way),
// copied a block of bytes at a time with the processor's vector registers: 16 bytes with SSE2,
// which every x86-64 processor has, 32 with AVX2 (json_avx2.cpp, compiled for it, and used
// where the processor has it). Internal to json.cpp and json_avx2.cpp; each has its own copy.

#ifndef COLLECT_FILE_TOOL_JSON_BLOCKS_H
#define COLLECT_FILE_TOOL_JSON_BLOCKS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace collect_file_tool {

// copyBlocks<Avx2>, for a processor that has AVX2.
void copyPlainAvx2(const unsigned char* s, std::size_t n, std::size_t& i, char*& to);

namespace {

#if defined(__x86_64__)

// Signed compares: a byte of 0x80 or more is below the space too.
struct Sse2 {
    using Vector = __m128i;
    static constexpr unsigned kWidth = 16;
    static Vector load(const unsigned char* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    }
    static void store(unsigned char* p, Vector v) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
    }
    // The bytes that need more than a copy: a control, DEL, 0x80 or more.
    static std::uint64_t other(Vector v) {
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
            _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7f)))));
    }
    // `"` and `\`.
    static std::uint64_t escaped(Vector v) {
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
            _mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')))));
    }
};

#if defined(__AVX2__)
struct Avx2 {
    using Vector = __m256i;
    static constexpr unsigned kWidth = 32;
    static Vector load(const unsigned char* p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
    static void store(unsigned char* p, Vector v) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    }
    static std::uint64_t other(Vector v) {
        return static_cast<unsigned>(
            _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(0x20), v),
                                                 _mm256_cmpeq_epi8(v, _mm256_set1_epi8(0x7f)))));
    }
    static std::uint64_t escaped(Vector v) {
        return static_cast<unsigned>(
            _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('"')),
                                                 _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\')))));
    }
};
#endif

// copyPlain() of json.cpp for texts of a block or more, a block of V::kWidth bytes at a time;
// shorter texts and what is left are for the caller.
template <typename V>
inline void copyBlocks(const unsigned char* s, std::size_t n, std::size_t& i, char*& to) {
    constexpr unsigned kWidth = V::kWidth;
    alignas(32) unsigned char block[2 * kWidth] = {};
    while (i < n && n >= kWidth) {
        unsigned count = kWidth;
        unsigned shift = 0;  // the bytes of the block before s[i]: the text's last block
        typename V::Vector bytes;
        if (i + kWidth <= n) {
            bytes = V::load(s + i);
        } else {
            count = static_cast<unsigned>(n - i);
            shift = kWidth - count;
            bytes = V::load(s + n - kWidth);
        }
        const std::uint64_t end = std::uint64_t{1} << count;
        const auto plain = static_cast<unsigned>(__builtin_ctzll((V::other(bytes) >> shift) | end));
        std::uint64_t escaped = (V::escaped(bytes) >> shift) & ((std::uint64_t{1} << plain) - 1);
        // Where the pieces between escapes are copied from: the text itself while a block past
        // the plain bytes is still in it (no store to wait for), else a copy of the block.
        const unsigned char* from = s + i;
        if (shift != 0 || i + plain + kWidth > n) {
            V::store(block, bytes);
            from = block + shift;
        }
        // The first `"` or `\` (or none: `at` is then `plain`) without a branch to mispredict;
        // a second one in a block is rare.
        unsigned done = 0;
        do {
            const auto at =
                static_cast<unsigned>(__builtin_ctzll(escaped | (std::uint64_t{1} << plain)));
            std::memcpy(to, from + done, kWidth);
            to += at - done;
            *to = '\\';
            to += at < plain ? 1 : 0;
            done = at;
            escaped &= escaped - 1;
        } while (escaped != 0);
        std::memcpy(to, from + done, kWidth);
        to += plain - done;
        i += plain;
        if (plain < count) {
            return;
        }
    }
}

#endif

}  // namespace
}  // namespace collect_file_tool

#endif
