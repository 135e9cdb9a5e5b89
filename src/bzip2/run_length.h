// The initial run-length stage, the last the block decoder undoes: found and walked in the text the inverse
// transform leaves, once to measure a block and once to write its bytes. Inline and a template, so that each
// walk compiles into its own loop.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "bzip2/bits.h"

namespace catadump {

// Where the next four equal bytes at or after `from` begin; `size` when there are none. Eight bytes are
// compared at a time, five starting places a word.
inline size_t findFourEqual(const uint8_t* text, size_t from, size_t size) {
    constexpr uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
    size_t j = from;
    for (; j + 8 <= size; j += 5) {
        uint64_t w = load64(text + j);
        uint64_t d = w ^ (w >> 8);                           // byte m: text[j+m] ^ text[j+m+1], m < 7
        uint64_t zero = ~(((d & low7) + low7) | d) & ~low7;  // high bit of each zero byte of d
        uint64_t four = zero & (zero >> 8) & (zero >> 16) & 0x0000008080808080ull;
        if (four != 0) return j + static_cast<size_t>(std::countr_zero(four) / 8);
    }
    for (; j + 3 < size; ++j) {
        if (text[j] == text[j + 1] && text[j] == text[j + 2] && text[j] == text[j + 3]) return j;
    }
    return size;
}

// Four equal bytes are followed by a count of further copies. Walks the runs of the block, handing each
// literal stretch (ending with the run's four bytes) and each run's further copies to `take`. False when
// four equal bytes end the block without their count.
template <typename Take> bool walkRuns(const uint8_t* text, size_t size, Take&& take) {
    size_t i = 0;  // first byte of the literal stretch
    for (;;) {
        size_t found = findFourEqual(text, i, size);
        if (found == size) {
            take(text + i, size - i, uint8_t{0}, size_t{0});
            return true;
        }
        if (found + 4 >= size) return false;
        take(text + i, found + 4 - i, text[found], size_t{text[found + 4]});
        i = found + 5;
    }
}

}  // namespace catadump
