// Decimal text of unsigned numbers without a loop over the digits: the value columns of millions of rows
// are written this way. Eight digits are made in one 64-bit word by splitting the number into halves,
// quarters and single digits with multiplications by reciprocals, each lane of the word holding one part,
// and stored with one 8-byte write; with SSE2, sixteen digits are made the same way in one register.
// Dates of this era all have eighteen digits and go the shortest way; other numbers below 10^16 take all
// sixteen digits and drop the leading zeros with a shift, rather than branch on a length that varies from
// row to row.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace catadump {

static_assert(std::endian::native == std::endian::little,
              "the digit blocks are laid out for little-endian words");

inline constexpr int maxDigitsU64 = 20;
inline constexpr int maxDigitsU32 = 10;
// writeDecimal stores up to this many bytes even for a short number; only the digits count.
inline constexpr int decimalStoreWidth = 16;

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
    static constexpr uint64_t powers[] = {1ULL,
                                          10ULL,
                                          100ULL,
                                          1000ULL,
                                          10000ULL,
                                          100000ULL,
                                          1000000ULL,
                                          10000000ULL,
                                          100000000ULL,
                                          1000000000ULL,
                                          10000000000ULL,
                                          100000000000ULL,
                                          1000000000000ULL,
                                          10000000000000ULL,
                                          100000000000000ULL,
                                          1000000000000000ULL,
                                          10000000000000000ULL,
                                          100000000000000000ULL,
                                          1000000000000000000ULL,
                                          10000000000000000000ULL};
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
        const __m128i high =
            _mm_srli_epi64(_mm_mul_epu32(value, _mm_set1_epi32(static_cast<int>(0xd1b71759u))), 45);
        const __m128i low = _mm_sub_epi32(value, _mm_mul_epu32(high, _mm_set1_epi32(10000)));
        __m128i v = _mm_slli_epi64(_mm_unpacklo_epi16(high, low), 2);
        v = _mm_unpacklo_epi32(_mm_unpacklo_epi16(v, v), _mm_unpacklo_epi16(v, v));
        // Lanes a, ab, abc, abcd of each four digits abcd: (4n * m) >> 16, then a shift by a multiplication.
        const __m128i dividers = _mm_setr_epi16(8389, 5243, 13108, -32768, 8389, 5243, 13108, -32768);
        const __m128i shifts =
            _mm_setr_epi16(1 << 7, 1 << 11, 1 << 13, -32768, 1 << 7, 1 << 11, 1 << 13, -32768);
        const __m128i prefixes = _mm_mulhi_epu16(_mm_mulhi_epu16(v, dividers), shifts);
        return _mm_sub_epi16(prefixes, _mm_slli_epi64(_mm_mullo_epi16(prefixes, _mm_set1_epi16(10)), 16));
    };
    __m128i digits = _mm_packus_epi16(lanes(static_cast<uint32_t>(x / 100000000)),
                                      lanes(static_cast<uint32_t>(x % 100000000)));
    return _mm_add_epi8(digits, _mm_set1_epi8('0'));
}
#endif

#if defined(__SSE2__) && defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 Uint128;  // the compiler's own 128-bit type, for one shift

// The digits of x < 10^16: all sixteen, shifted past the leading zeros, stored with two 8-byte writes.
inline char* writeBelowSixteenDigits(char* out, uint64_t x, int digits) {
    __m128i text = sixteenDigitText(x);
    auto low = static_cast<uint64_t>(_mm_cvtsi128_si64(text));
    auto high = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(text, text)));
    Uint128 shifted = (static_cast<Uint128>(high) << 64 | low) >> (8 * (16 - digits));
    auto first = static_cast<uint64_t>(shifted);
    auto second = static_cast<uint64_t>(shifted >> 64);
    std::memcpy(out, &first, 8);
    std::memcpy(out + 8, &second, 8);
    return out + digits;
}
#endif

inline constexpr char digitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

}  // namespace detail

// Writes the value's decimal digits at out and returns the end of them. The bytes stored reach to
// out + max(decimalStoreWidth, digits): a caller leaves that much room, though only the digits count.
inline char* writeDecimal(char* out, uint64_t value) {
    constexpr uint64_t e16 = 10000000000000000ULL;
#if defined(__SSE2__)
    if (value >= 10 * e16 && value < 100 * e16) {  // eighteen digits: every date of this era
        uint64_t high = value / e16;
        std::memcpy(out, detail::digitPairs + 2 * high, 2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2), detail::sixteenDigitText(value - high * e16));
        return out + 18;
    }
#endif
    int digits = decimalDigits(value);
#if defined(__SSE2__) && defined(__SIZEOF_INT128__)
    if (digits <= 16) return detail::writeBelowSixteenDigits(out, value, digits);
#endif
    if (digits <= 8) {
        detail::storeLeadingBlock(out, static_cast<uint32_t>(value), digits);
    } else if (digits <= 16) {
        detail::storeLeadingBlock(out, static_cast<uint32_t>(value / 100000000), digits - 8);
        detail::storeBlock(out + digits - 8, static_cast<uint32_t>(value % 100000000));
    } else {
        uint64_t low16 = value % e16;
        detail::storeLeadingBlock(out, static_cast<uint32_t>(value / e16), digits - 16);
#if defined(__SSE2__)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + digits - 16), detail::sixteenDigitText(low16));
#else
        detail::storeBlock(out + digits - 16, static_cast<uint32_t>(low16 / 100000000));
        detail::storeBlock(out + digits - 8, static_cast<uint32_t>(low16 % 100000000));
#endif
    }
    return out + digits;
}

}  // namespace catadump
