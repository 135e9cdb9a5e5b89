// The move-to-front list that a block's symbols index: 256 bytes, the byte a symbol names taken out and put
// in front. Two ways to do it: a portable one, and one with AVX2 where the processor has it, which moves the
// whole list in 32-byte lines with no branch on the index. Most indices of a block of binary values are large
// and spread evenly, so the length of a copy that depends on the index is mispredicted nearly every time;
// the same work for every index costs less than that.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "bzip2/bits.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define CATADUMP_AVX2_MOVE_TO_FRONT 1
#include <immintrin.h>
#endif

namespace catadump {

inline constexpr size_t listLineBytes = 32;

// The list's storage: aligned for the lines of the vector version.
struct alignas(listLineBytes) MoveToFrontList {
    uint8_t bytes[256];
};

// Takes the byte at `index` (1..255) out of the list and puts it in front, moving the bytes before it back
// one place. The first 16 bytes are always written as two words, which the next call reads back at once
// from the store buffer; most indices of text are small and touch nothing else.
inline uint8_t moveToFront(uint8_t* list, size_t index) {
    if constexpr (std::endian::native != std::endian::little) {
        uint8_t b = list[index];
        std::memmove(list + 1, list, index);
        list[0] = b;
        return b;
    }
    auto lowBytes = [](size_t n) { return n >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * n)) - 1; };
    uint8_t b = list[index];
    uint64_t w0 = load64(list), w1 = load64(list + 8);
    // list[0] is the low byte of w0, so shifting a word left by a byte moves each of its bytes back one.
    uint64_t n0 = w0 << 8 | b;
    uint64_t n1 = w1 << 8 | w0 >> 56;
    if (index < 8) {
        uint64_t keep = lowBytes(index + 1);
        store64(list, (n0 & keep) | (w0 & ~keep));
        return b;
    }
    if (index < 16) {
        uint64_t keep = lowBytes(index - 7);
        store64(list, n0);
        store64(list + 8, (n1 & keep) | (w1 & ~keep));
        return b;
    }
    // list[15 .. index) moves to list[16 .. index]; the library's copy is the fastest for the longer moves.
    std::memmove(list + 16, list + 15, index - 15);
    store64(list, n0);
    store64(list + 8, n1);
    return b;
}

#if defined(CATADUMP_AVX2_MOVE_TO_FRONT)

// Whether the processor has AVX2 and the system keeps its registers.
inline bool hasVectorMoveToFront() { return __builtin_cpu_supports("avx2"); }

// Each byte's place in the list less 128, so that a signed comparison of bytes orders places 0..255.
struct ListPlaces {
    alignas(listLineBytes) int8_t biased[256];
};
inline constexpr ListPlaces listPlaces = [] {
    ListPlaces places{};
    for (int i = 0; i < 256; ++i) places.biased[i] = static_cast<int8_t>(i - 128);
    return places;
}();

// The same step on the first `lines` 32-byte lines of an aligned list, which must hold `index`: every line
// is shifted back by a byte, the last byte of the line before carried into its first, and keeps its old
// bytes past `index`. The lines are loaded and stored whole at the same places, so the next step reads them
// straight back from the store buffer.
[[gnu::target("avx2")]] inline uint8_t moveToFrontVector(uint8_t* list, size_t index, size_t lines) {
    uint8_t b = list[index];
    auto* line = reinterpret_cast<__m256i*>(list);
    const auto* places = reinterpret_cast<const __m256i*>(listPlaces.biased);
    const __m256i last = _mm256_set1_epi8(static_cast<char>(static_cast<int>(index) - 128));
    __m256i before = _mm256_set1_epi8(static_cast<char>(b));  // what comes before the first line: b
    for (size_t k = 0; k < lines; ++k) {
        __m256i old = _mm256_load_si256(line + k);
        // The upper half of the line before, then this line's lower half: shifted in with this line, one
        // byte on, they make the line moved back by a byte across both halves.
        __m256i carried = _mm256_permute2x128_si256(old, before, 0x03);
        __m256i moved = _mm256_alignr_epi8(old, carried, 15);
        __m256i beyond = _mm256_cmpgt_epi8(_mm256_load_si256(places + k), last);
        _mm256_store_si256(line + k, _mm256_blendv_epi8(moved, old, beyond));
        before = old;
    }
    return b;
}

#endif

}  // namespace catadump
