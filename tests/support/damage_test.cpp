// The changes the fixtures make to the generator's bytes: gathered in any order from positions of the
// unchanged bytes, applied from the last, and the marks moved past them.
#include <gtest/gtest.h>

#include "support/damage.h"

namespace catadump::test {
namespace {

TEST(Patches, ApplyInAnyOrderAndMoveTheMarksAfterThem) {
    struct Case {
        const char* name;
        std::vector<Patch> patches;
        std::string result;
        std::vector<uint64_t> moved;  // where positions 0, 2, 4 and 6 of "abcdef" lie afterwards
    };
    const Case cases[] = {
        {"grow and shrink", {{4, 2, "E"}, {0, 1, "AAA"}}, "AAAbcdE", {0, 4, 6, 7}},
        {"insert at a mark", {{2, 0, "xy"}}, "abxycdef", {0, 4, 6, 8}},
        {"insert before a replacement", {{2, 2, "C"}, {2, 0, "+"}}, "ab+Cef", {0, 3, 4, 6}},
        {"remove", {{1, 3, ""}}, "aef", {0, 1, 1, 3}},  // 2 was inside the removed bytes
        {"replace around a mark", {{1, 4, "XY"}}, "aXYf", {0, 3, 3, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(applyPatches("abcdef", c.patches), c.result);
        std::vector<uint64_t> moved;
        for (uint64_t at : {0, 2, 4, 6}) moved.push_back(patchedPosition(at, c.patches));
        EXPECT_EQ(moved, c.moved);
    }
    EXPECT_THROW(applyPatches("abcdef", {{1, 3, ""}, {3, 1, "x"}}), std::out_of_range);
    EXPECT_THROW(applyPatches("abc", {{2, 2, ""}}), std::out_of_range);
}

}  // namespace
}  // namespace catadump::test
