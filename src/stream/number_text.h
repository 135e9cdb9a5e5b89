// Decimal text of unsigned numbers, eight digits at a time (sixteen with SSE2, for the long numbers that
// dates are): the value columns of millions of rows are written this way. A block of eight digits is made in one 64-bit word by splitting the number into
// halves, quarters and single digits with multiplications by reciprocals, each lane of the word holding
// one part, and stored with one 8-byte write.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace catadump {

static_assert(std::endian::native == std::endian::little, "the digit blocks are laid out for little-endian words");

inline constexpr int maxDigitsU64 = 20;
inline constexpr int maxDigitsU32 = 10;

// The eight digits of x < 100,000,000, leading zeros included, the first in the lowest byte.
inline uint64_t eightDigitBlock(uint32_t x) {
    // Two 32-bit lanes: the first four digits and the last four.
    uint64_t merged = (x / 10000) | (static_cast<uint64_t>(x % 10000) << 32);
    // Four 16-bit lanes of two digits: a / 100 is (a * 10486) >> 20 for every a below 10,000.
    uint64_t high = ((merged * 10486) >> 20) & 0x0000007F0000007FULL;
    merged = high | ((merged - high * 100) << 16);
    // Eight bytes of one digit: b / 10 is (b * 103) >> 10 for every b below 100.
    high = ((merged * 103) >> 10) & 0x000F000F000F000FULL;
    merged = high | ((merged - high * 10) << 8);
    return merged + 0x3030303030303030ULL;
}

inline int decimalDigits(uint64_t value) {
    static constexpr uint64_t powers[] = {1ULL, 10ULL, 100ULL, 1000ULL, 10000ULL, 100000ULL, 1000000ULL,
        10000000ULL, 100000000ULL, 1000000000ULL, 10000000000ULL, 100000000000ULL, 1000000000000ULL,
        10000000000000ULL, 100000000000000ULL, 1000000000000000ULL, 10000000000000000ULL,
        100000000000000000ULL, 1000000000000000000ULL, 10000000000000000000ULL};
    uint64_t atLeastOne = value | 1;  // zero has one digit; no other count changes, as 10^k - 1 is odd
    int guess = static_cast<int>((std::bit_width(atLeastOne) * 1233) >> 12);  // log10 or one less
    return guess + (atLeastOne >= powers[guess] ? 1 : 0);
}

namespace detail {

// The last `digits` (1 to 8) of the block at out.
inline void storeLeadingBlock(char* out, uint32_t x, int digits) {
    uint64_t block = eightDigitBlock(x) >> (8 * (8 - digits));
    std::memcpy(out, &block, 8);
}

inline void storeBlock(char* out, uint32_t x) {
    uint64_t block = eightDigitBlock(x);
    std::memcpy(out, &block, 8);
}

#if defined(__SSE2__)
// The sixteen digits of x < 10^16 as ASCII, leading zeros included. Each half of eight digits is split
// into its two halves of four, each spread over four 16-bit lanes and divided there by 1000, 100, 10 and 1
// at once with multiplications; subtracting ten times each lane's neighbour leaves one digit per lane.
inline __m128i sixteenDigitText(uint64_t x) {
    auto lanes = [](uint32_t eight) {
        const __m128i value = _mm_cvtsi32_si128(static_cast<int>(eight));
        // eight / 10000 is (eight * 0xd1b71759) >> 45 below 10^8.
        const __m128i high = _mm_srli_epi64(_mm_mul_epu32(value, _mm_set1_epi32(static_cast<int>(0xd1b71759u))), 45);
        const __m128i low = _mm_sub_epi32(value, _mm_mul_epu32(high, _mm_set1_epi32(10000)));
        __m128i v = _mm_slli_epi64(_mm_unpacklo_epi16(high, low), 2);
        v = _mm_unpacklo_epi32(_mm_unpacklo_epi16(v, v), _mm_unpacklo_epi16(v, v));
        // Lanes a, ab, abc, abcd of each four digits abcd: (4n * m) >> 16, then a shift by a multiplication.
        const __m128i dividers = _mm_setr_epi16(8389, 5243, 13108, -32768, 8389, 5243, 13108, -32768);
        const __m128i shifts = _mm_setr_epi16(1 << 7, 1 << 11, 1 << 13, -32768, 1 << 7, 1 << 11, 1 << 13, -32768);
        const __m128i prefixes = _mm_mulhi_epu16(_mm_mulhi_epu16(v, dividers), shifts);
        return _mm_sub_epi16(prefixes, _mm_slli_epi64(_mm_mullo_epi16(prefixes, _mm_set1_epi16(10)), 16));
    };
    __m128i digits = _mm_packus_epi16(lanes(static_cast<uint32_t>(x / 100000000)),
                                      lanes(static_cast<uint32_t>(x % 100000000)));
    return _mm_add_epi8(digits, _mm_set1_epi8('0'));
}
#endif

} // namespace detail

// Writes the value's decimal digits at out and returns the end of them. The bytes stored reach to
// out + max(8, digits): a caller leaves that much room, though only the digits count.
inline char* writeDecimal(char* out, uint64_t value) {
    int digits = decimalDigits(value);
    if (digits <= 8) {
        detail::storeLeadingBlock(out, static_cast<uint32_t>(value), digits);
    } else if (digits <= 16) {
        detail::storeLeadingBlock(out, static_cast<uint32_t>(value / 100000000), digits - 8);
        detail::storeBlock(out + digits - 8, static_cast<uint32_t>(value % 100000000));
    } else {
        uint64_t low16 = value % 10000000000000000ULL;
        detail::storeLeadingBlock(out, static_cast<uint32_t>(value / 10000000000000000ULL), digits - 16);
#if defined(__SSE2__)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + digits - 16), detail::sixteenDigitText(low16));
#else
        detail::storeBlock(out + digits - 16, static_cast<uint32_t>(low16 / 100000000));
        detail::storeBlock(out + digits - 8, static_cast<uint32_t>(low16 % 100000000));
#endif
    }
    return out + digits;
}

} // namespace catadump
