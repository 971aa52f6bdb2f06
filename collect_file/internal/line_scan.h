// Finding a line's end in the read buffer, and the sinks that take a line's bytes from it. Not
// installed.
//
// A text form delivers a line up to its delimiter or its first NUL byte, whichever comes first,
// so the scan looks for either of two bytes. Lines are mostly short: the first kOnePassScan
// bytes are scanned for both at once with SSE2 (x86-64 always has it), the first 16 and the 128
// after them each behind one branch; the rest of a longer line goes to the C library's memchr,
// which is fastest over long runs.

#ifndef COLLECT_FILE_INTERNAL_LINE_SCAN_H
#define COLLECT_FILE_INTERNAL_LINE_SCAN_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#define COLLECT_FILE_SCAN_SSE2 1
#endif

namespace collect_file_internal {

// Index of the first `byte` in [bytes, bytes + n), or n.
inline size_t indexOf(const char* bytes, size_t n, char byte) {
    const void* found = std::memchr(bytes, byte, n);
    return found != nullptr ? static_cast<size_t>(static_cast<const char*>(found) - bytes) : n;
}

// The first byte in [bytes, bytes + n) that is `a` or `b`, or nullptr: two memchr passes. Kept
// out of line, so that the common short scan that may call it needs few registers.
__attribute__((noinline)) inline const char* findEitherByMemchr(const char* bytes, size_t n, char a,
                                                                char b) {
    const size_t first = indexOf(bytes, n, a);
    const size_t second = indexOf(bytes, first, b);
    return second < first ? bytes + second : first < n ? bytes + first : nullptr;
}

#if defined(COLLECT_FILE_SCAN_SSE2)
// Bit i set where chunk byte i is a or b.
inline unsigned hitsOf(__m128i chunk, __m128i a, __m128i b) {
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, a), _mm_cmpeq_epi8(chunk, b))));
}

// Bit i set where byte i of [bytes, bytes + 64) is a or b.
inline uint64_t hits64Of(const char* bytes, __m128i a, __m128i b) {
    uint64_t hits = 0;
    for (int chunk = 0; chunk < 4; ++chunk) {
        hits |= uint64_t{hitsOf(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * chunk)), a, b)}
                << (16 * chunk);
    }
    return hits;
}

// The first byte in [bytes, bytes + n) that is `a` or `b`, or nullptr: one pass, 32 bytes a
// step, then 16; a tail shorter than 16 bytes is scanned again within the last 16 when there
// are that many, else byte by byte.
inline const char* findEitherBySse2(const char* bytes, size_t n, char a, char b) {
    const __m128i wantA = _mm_set1_epi8(a);
    const __m128i wantB = _mm_set1_epi8(b);
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const unsigned hits =
            hitsOf(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i)), wantA, wantB) |
            hitsOf(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i + 16)), wantA, wantB)
                << 16;
        if (hits != 0) {
            return bytes + i + __builtin_ctz(hits);
        }
    }
    for (; i + 16 <= n; i += 16) {
        const unsigned hits =
            hitsOf(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i)), wantA, wantB);
        if (hits != 0) {
            return bytes + i + __builtin_ctz(hits);
        }
    }
    if (i < n && n >= 16) {
        // Only the bytes past i count.
        const unsigned hits =
            hitsOf(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + n - 16)), wantA,
                   wantB) >>
            (16 - (n - i));
        return hits != 0 ? bytes + i + __builtin_ctz(hits) : nullptr;
    }
    for (; i < n; ++i) {
        if (bytes[i] == a || bytes[i] == b) {
            return bytes + i;
        }
    }
    return nullptr;
}
#endif

// Bytes that findEither scans in one pass before it leaves a long line to memchr.
const size_t kOnePassScan = 256;

// The first byte in [bytes, bytes + n) that is `a` or `b`, or nullptr.
inline const char* findEither(const char* bytes, size_t n, char a, char b) {
#if defined(COLLECT_FILE_SCAN_SSE2)
    // Most lines end within their first 16 bytes, or within the 128 after them: each of those
    // is looked at whole, behind one branch, so that how long a line is costs few mispredicted
    // branches.
    const size_t first = std::min(n, kOnePassScan);
    const __m128i wantA = _mm_set1_epi8(a);
    const __m128i wantB = _mm_set1_epi8(b);
    size_t from = 0;
    if (first >= 16) {
        const unsigned hits =
            hitsOf(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)), wantA, wantB);
        if (hits != 0) {
            return bytes + __builtin_ctz(hits);
        }
        from = 16;
        if (first >= 144) {
            const uint64_t low = hits64Of(bytes + 16, wantA, wantB);
            const uint64_t high = hits64Of(bytes + 80, wantA, wantB);
            if ((low | high) != 0) {
                return bytes + 16 + (low != 0 ? __builtin_ctzll(low) : 64 + __builtin_ctzll(high));
            }
            from = 144;
        }
    }
    const char* found = findEitherBySse2(bytes + from, first - from, a, b);
    if (found != nullptr || first == n) {
        return found;
    }
    return findEitherByMemchr(bytes + first, n - first, a, b);
#else
    return findEitherByMemchr(bytes, n, a, b);
#endif
}

// Each sink takes a run of a line's bytes from the stream's buffer: take() finds the delimiter
// in [bytes, bytes + n), stores what comes before it, and returns its index (n when the run
// holds none). finish() ends the line.

// Stores the bytes into a caller's array, then a terminating NUL.
struct ArraySink {
    char* array;
    size_t stored = 0;

    explicit ArraySink(char* destination) : array(destination) {}
    size_t take(const char* bytes, size_t n, char delimiter) {
        const size_t length = indexOf(bytes, n, delimiter);
        std::memcpy(array + stored, bytes, length);
        stored += length;
        return length;
    }
    void finish() { array[stored] = '\0'; }
};

// Builds a line's delivered text straight from the stream's buffer. The text ends at the line's
// first NUL byte, found in the same pass as the delimiter; the target is only touched once a
// byte arrives.
struct TextSink {
    std::string& text;
    bool started = false;
    bool ended = false;  // a NUL ended the text; the rest of the line is only skipped

    explicit TextSink(std::string& target) : text(target) {}
    size_t take(const char* bytes, size_t n, char delimiter) {
        if (ended) {
            return indexOf(bytes, n, delimiter);
        }
        const char* stop = findEither(bytes, n, delimiter, '\0');
        const size_t length = stop != nullptr ? static_cast<size_t>(stop - bytes) : n;
        if (started) {
            text.append(bytes, length);
        } else {
            text.assign(bytes, length);
            started = true;
        }
        if (stop == nullptr || *stop == delimiter) {
            return length;
        }
        ended = true;
        return length + 1 + indexOf(stop + 1, n - length - 1, delimiter);
    }
    void finish() {}
};

// Drops the line.
struct DiscardSink {
    size_t take(const char* bytes, size_t n, char delimiter) {
        return indexOf(bytes, n, delimiter);
    }
    void finish() {}
};

}  // namespace collect_file_internal

#endif  // COLLECT_FILE_INTERNAL_LINE_SCAN_H
