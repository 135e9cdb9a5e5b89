// The six database versions catagen writes: signature, version word, and the CSV header line the
// converter writes for each.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace catagen {

enum class Version { v1_6_6, v1_6_7, v1_7_5, v1_7_8, v1_7_17, v1_7_20 };

struct VersionInfo {
    Version version;
    std::string_view label;      // "1.7.20"
    std::string_view signature;  // the four bytes at the start of the database
    uint32_t word;               // major << 24 | minor << 16 | build
    std::string_view csvHeader;
};

inline constexpr std::string_view kTwoColumnHeader = "Filename,Attributes\r\n";
inline constexpr std::string_view kSixColumnHeader =
    "Filename,Size,Date Created,Date Modified,Date Accessed,Attributes\r\n";

inline constexpr std::array<VersionInfo, 6> kVersions{{
    {Version::v1_6_6, "1.6.6", "QWTB", 0x01060006, kTwoColumnHeader},
    {Version::v1_6_7, "1.6.7", "QWTB", 0x01060007, kTwoColumnHeader},
    {Version::v1_7_5, "1.7.5", "QRTb", 0x01070005, kTwoColumnHeader},
    {Version::v1_7_8, "1.7.8", "QRTb", 0x01070008, kTwoColumnHeader},
    {Version::v1_7_17, "1.7.17", "QRTb", 0x01070011, kSixColumnHeader},
    {Version::v1_7_20, "1.7.20", "QRTb", 0x01070014, kSixColumnHeader},
}};

inline const VersionInfo& versionInfo(Version version) { return kVersions[static_cast<size_t>(version)]; }

inline std::optional<Version> parseVersion(std::string_view label) {
    for (const VersionInfo& info : kVersions)
        if (info.label == label) return info.version;
    return std::nullopt;
}

inline bool isOldFamily(Version v) { return v == Version::v1_6_6 || v == Version::v1_6_7; }
inline bool hasValueColumns(Version v) { return v == Version::v1_7_17 || v == Version::v1_7_20; }

}  // namespace catagen
