// The versions the tests run over: the generator's table of the six, with the groups and names the tests
// use. One table, so a test over "every version" cannot miss one.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "catagen/versions.h"

namespace catadump::test {

using catagen::Version;

inline constexpr Version allVersions[] = {Version::v1_6_6, Version::v1_6_7,  Version::v1_7_5,
                                          Version::v1_7_8, Version::v1_7_17, Version::v1_7_20};
inline constexpr Version qwtbVersions[] = {Version::v1_6_6, Version::v1_6_7};
inline constexpr Version qrtbVersions[] = {Version::v1_7_5, Version::v1_7_8, Version::v1_7_17,
                                           Version::v1_7_20};
inline constexpr Version earlyQrtbVersions[] = {Version::v1_7_5, Version::v1_7_8};
inline constexpr Version lateQrtbVersions[] = {Version::v1_7_17, Version::v1_7_20};

inline bool isQwtb(Version v) { return catagen::isOldFamily(v); }
inline bool isLate(Version v) { return catagen::hasValueColumns(v); }
inline uint32_t versionWordOf(Version v) { return catagen::versionInfo(v).word; }
inline uint32_t buildOf(Version v) { return versionWordOf(v) & 0xFFFF; }
inline std::string headerLineOf(Version v) { return std::string(catagen::versionInfo(v).csvHeader); }

// "V1_7_20": fit for a test's name.
inline std::string versionName(Version v) {
    std::string name = "V";
    for (char c : catagen::versionInfo(v).label) name.push_back(c == '.' ? '_' : c);
    return name;
}
inline std::string versionParamName(const ::testing::TestParamInfo<Version>& param) {
    return versionName(param.param);
}

}  // namespace catadump::test

namespace catagen {
inline void PrintTo(Version v, std::ostream* out) { *out << catadump::test::versionName(v); }
}  // namespace catagen
