// JSON escaping with AVX2. Each block of 32 bytes is looked at once, and its four runs of 8 bytes
// are each spread into place with one byte shuffle from a table, which puts a backslash before
// every `"` and `\`.

#include "json_vectors.h"

#if defined(__AVX2__)

#include <array>

namespace collect_file_tool {

namespace {

using Shuffle = std::array<char, 16>;

// For each set of escaped bytes among 8 (bit j for byte j), the shuffle that spreads bytes 0 to
// 7 with a backslash (byte 8 and up of the shuffled register) before each escaped one.
constexpr std::array<Shuffle, 256> kSpread = [] {
    std::array<Shuffle, 256> spread{};
    for (unsigned escaped = 0; escaped < 256; ++escaped) {
        unsigned to = 0;
        for (unsigned j = 0; j < 8; ++j) {
            if ((escaped >> j & 1) != 0) {
                spread[escaped][to++] = 8;
            }
            spread[escaped][to++] = static_cast<char>(j);
        }
    }
    return spread;
}();

// How many bytes kSpread[escaped] makes of 8.
constexpr std::array<unsigned char, 256> kSpreadLength = [] {
    std::array<unsigned char, 256> length{};
    for (unsigned escaped = 0; escaped < 256; ++escaped) {
        length[escaped] = static_cast<unsigned char>(8 + __builtin_popcount(escaped));
    }
    return length;
}();

// Writes the 8 bytes in the low half of `bytes` (whose high half holds backslashes) at `to`, each
// one marked in `escaped` after a backslash, and advances `to` past them. Stores 16 bytes.
inline void spread(__m128i bytes, unsigned escaped, char*& to) {
    const __m128i shuffle = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kSpread[escaped]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_shuffle_epi8(bytes, shuffle));
    to += kSpreadLength[escaped];
}

// A block of copyBlocks(), as four runs of 8 bytes. Stores up to 8 bytes past its end.
inline void spreadBlock(__m256i bytes, unsigned escaped, char*& to) {
    const __m128i backslashes = _mm_set1_epi8('\\');
    const __m128i low = _mm256_castsi256_si128(bytes);
    const __m128i high = _mm256_extracti128_si256(bytes, 1);
    spread(_mm_unpacklo_epi64(low, backslashes), escaped & 0xff, to);
    spread(_mm_unpackhi_epi64(low, backslashes), escaped >> 8 & 0xff, to);
    spread(_mm_unpacklo_epi64(high, backslashes), escaped >> 16 & 0xff, to);
    spread(_mm_unpackhi_epi64(high, backslashes), escaped >> 24, to);
}

}  // namespace

void copyPlainAvx2(const unsigned char* s, std::size_t n, std::size_t& index, char*& out) {
    // Kept in registers: a store of a char through `to` may alias `index` and `out`.
    std::size_t i = index;
    char* to = out;
    copyBlocks(s, n, i, to, spreadBlock);
    // What is left before a byte that needs more than a copy, or of a text under 32 bytes: 16
    // bytes at a time, the last of them loaded to end where the text ends and shifted down into
    // place, the bytes from the first that needs more on not counted.
    const __m128i backslashes = _mm_set1_epi8('\\');
    const __m128i firstSixteen =
        _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    while (i < n && n >= 16) {
        unsigned count = 16;
        __m128i bytes;
        if (i + 16 <= n) {
            bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        } else {
            count = static_cast<unsigned>(n - i);
            const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + n - 16));
            bytes = _mm_shuffle_epi8(
                last, _mm_add_epi8(firstSixteen, _mm_set1_epi8(static_cast<char>(16 - count))));
        }
        const __m256i block = _mm256_castsi128_si256(bytes);  // the high half is not looked at
        const auto plain =
            static_cast<unsigned>(__builtin_ctz((otherBytes(block) & 0xffff) | 1u << count));
        const unsigned escaped = escapedBytes(block) & ((1u << plain) - 1);
        char* const start = to;
        spread(_mm_unpacklo_epi64(bytes, backslashes), escaped & 0xff, to);
        spread(_mm_unpackhi_epi64(bytes, backslashes), escaped >> 8, to);
        to = start + plain + static_cast<unsigned>(__builtin_popcount(escaped));
        i += plain;
        if (plain < count) {
            break;
        }
    }
    index = i;
    out = to;
}

}  // namespace collect_file_tool

#else

namespace collect_file_tool {

void copyPlainAvx2(const unsigned char*, std::size_t, std::size_t&, char*&) {}

}  // namespace collect_file_tool

#endif
