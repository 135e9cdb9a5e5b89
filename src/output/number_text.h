// Decimal text of unsigned numbers without a loop over the digits: the value columns of millions of rows
// are written this way. Eight digits are made in one 64-bit word by splitting the number into halves,
// quarters and single digits with multiplications by reciprocals, each lane of the word holding one part,
// and stored with one 8-byte write; with SSE2, sixteen digits are made the same way in one register.
// Numbers below 10^8 (attributes, most sizes) take one word; those of nine or ten digits (Unix times) a
// pair of digits and a word; dates of this era, all of eighteen digits, a pair and the sixteen; other
// numbers below 10^16 all sixteen. The leading zeros are counted in the digits made and dropped with a
// shift, rather than branch on a length that varies from row to row.
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

// The eight digits of x < 100,000,000 as byte values 0 to 9, leading zeros included, the first in the
// lowest byte.
inline uint64_t eightDigitValues(uint32_t x) {
    // Two 32-bit lanes: the first four digits and the last four.
    uint64_t merged = (x / 10000) | (static_cast<uint64_t>(x % 10000) << 32);
    // Four 16-bit lanes of two digits: a / 100 is (a * 10486) >> 20 for every a below 10,000.
    uint64_t high = ((merged * 10486) >> 20) & 0x0000007F0000007FULL;
    merged = high | ((merged - high * 100) << 16);
    // Eight bytes of one digit: b / 10 is (b * 103) >> 10 for every b below 100.
    high = ((merged * 103) >> 10) & 0x000F000F000F000FULL;
    return high | ((merged - high * 10) << 8);
}

// The same digits as ASCII.
inline uint64_t eightDigitBlock(uint32_t x) { return eightDigitValues(x) + 0x3030303030303030ULL; }

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
// The sixteen digits of two numbers below 10^8 (the halves of a number below 10^16) as byte values 0 to
// 9, leading zeros included, the first in the lowest byte: as eightDigitValues does in a word, with the
// halves in the two 64-bit lanes of one register, split into 32-bit lanes of four digits, 16-bit lanes
// of two and bytes of one.
inline __m128i sixteenDigitValues(uint32_t first, uint32_t second) {
    const __m128i halves = _mm_set_epi64x(second, first);
    // A half / 10000 is (half * 0xd1b71759) >> 45 below 10^8.
    __m128i high = _mm_srli_epi64(_mm_mul_epu32(halves, _mm_set1_epi32(static_cast<int>(0xd1b71759u))), 45);
    __m128i merged = _mm_or_si128(
        high, _mm_slli_epi64(_mm_sub_epi32(halves, _mm_mul_epu32(high, _mm_set1_epi32(10000))), 32));
    // a / 100 is (a * 5243) >> 19 below 10,000.
    high = _mm_srli_epi16(_mm_mulhi_epu16(merged, _mm_set1_epi16(5243)), 3);
    merged = _mm_or_si128(
        high, _mm_slli_epi32(_mm_sub_epi16(merged, _mm_mullo_epi16(high, _mm_set1_epi16(100))), 16));
    // b / 10 is (b * 6592) >> 16 below 100.
    high = _mm_mulhi_epu16(merged, _mm_set1_epi16(6592));
    return _mm_or_si128(high,
                        _mm_slli_epi16(_mm_sub_epi16(merged, _mm_mullo_epi16(high, _mm_set1_epi16(10))), 8));
}

inline __m128i sixteenDigitValues(uint64_t x) {
    return sixteenDigitValues(static_cast<uint32_t>(x / 100000000), static_cast<uint32_t>(x % 100000000));
}

inline __m128i sixteenDigitText(uint64_t x) {
    return _mm_add_epi8(sixteenDigitValues(x), _mm_set1_epi8('0'));
}

// The digits of 10^8 <= x < 10^16: all sixteen, shifted past the leading zeros (seven at most), stored
// with two 8-byte writes.
inline char* writeNineToSixteenDigits(char* out, uint64_t x) {
    __m128i values = sixteenDigitValues(x);
    auto zeroMask = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(values, _mm_setzero_si128())));
    int zeros = std::countr_one(zeroMask);
    __m128i text = _mm_add_epi8(values, _mm_set1_epi8('0'));
    auto low = static_cast<uint64_t>(_mm_cvtsi128_si64(text));
    auto high = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(text, text)));
    int shift = 8 * zeros;  // below 64
    uint64_t first = (low >> shift) | ((high << 1) << (63 - shift));
    uint64_t second = high >> shift;
    std::memcpy(out, &first, 8);
    std::memcpy(out + 8, &second, 8);
    return out + 16 - zeros;
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
    constexpr uint64_t e8 = 100000000;
    constexpr uint64_t e16 = 10000000000000000ULL;
    if (value < e8) {
        uint64_t values = eightDigitValues(static_cast<uint32_t>(value));
        // The first digit that is not zero, or the last: the lowest set bit lies in its byte.
        int zeros = std::countr_zero(values | uint64_t{1} << 56) / 8;
        uint64_t block = (values + 0x3030303030303030ULL) >> (8 * zeros);
        std::memcpy(out, &block, 8);
        return out + 8 - zeros;
    }
    if (value < 100 * e8) {  // nine or ten digits (Unix times of this era): a pair, then a block
        auto high = static_cast<uint32_t>(value / e8);
        int one = high < 10 ? 1 : 0;
        std::memcpy(out, detail::digitPairs + 2 * high + one, 2);
        uint64_t block = eightDigitBlock(static_cast<uint32_t>(value - high * e8));
        std::memcpy(out + 2 - one, &block, 8);
        return out + 10 - one;
    }
#if defined(__SSE2__)
    if (value >= 10 * e16 && value < 100 * e16) {  // eighteen digits: every date of this era
        uint64_t high = value / e16;
        std::memcpy(out, detail::digitPairs + 2 * high, 2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2), detail::sixteenDigitText(value - high * e16));
        return out + 18;
    }
    if (value < e16) return detail::writeNineToSixteenDigits(out, value);
#endif
    int digits = decimalDigits(value);
    if (digits <= 16) {
        detail::storeLeadingBlock(out, static_cast<uint32_t>(value / e8), digits - 8);
        detail::storeBlock(out + digits - 8, static_cast<uint32_t>(value % e8));
    } else {
        uint64_t low16 = value % e16;
        detail::storeLeadingBlock(out, static_cast<uint32_t>(value / e16), digits - 16);
#if defined(__SSE2__)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + digits - 16), detail::sixteenDigitText(low16));
#else
        detail::storeBlock(out + digits - 16, static_cast<uint32_t>(low16 / e8));
        detail::storeBlock(out + digits - 8, static_cast<uint32_t>(low16 % e8));
#endif
    }
    return out + digits;
}

}  // namespace catadump
