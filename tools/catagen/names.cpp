#include "catagen/names.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace catagen {

namespace {

constexpr std::array<std::string_view, 48> kFolderWords{
    "Documents", "Projects",  "Photos",   "Music",   "Videos",    "Downloads", "Desktop",  "Archive",
    "Backup",    "Reports",   "Invoices", "Drafts",  "Notes",     "Assets",    "Images",   "Data",
    "Logs",      "Config",    "Tests",    "Docs",    "Shared",    "Clients",   "Finance",  "Marketing",
    "Design",    "Source",    "src",      "include", "lib",       "bin",       "build",    "tools",
    "vendor",    "Templates", "Scans",    "Letters", "Contracts", "Meetings",  "Research", "Travel",
    "Family",    "Holiday",   "Budget",   "Old",     "Temp",      "Misc",      "Work",     "Exports"};

constexpr std::array<std::string_view, 40> kFileStems{
    "report",   "invoice", "notes",  "draft",   "summary", "budget",    "letter",    "photo",
    "IMG",      "DSC",     "scan",   "meeting", "minutes", "readme",    "index",     "main",
    "config",   "setup",   "data",   "backup",  "export",  "chart",     "plan",      "schedule",
    "contract", "slides",  "thesis", "chapter", "track",   "song",      "clip",      "Screenshot",
    "logo",     "icon",    "manual", "guide",   "todo",    "changelog", "customers", "results"};

constexpr std::array<std::string_view, 28> kExtensions{
    "txt", "docx", "xlsx", "pdf", "jpg", "png", "mp3",  "mp4", "cpp", "h",   "html", "css", "js",  "json",
    "xml", "csv",  "zip",  "log", "ini", "md",  "pptx", "wav", "gif", "bak", "exe",  "dll", "odt", "tar.gz"};

constexpr std::array<std::string_view, 4> kSeparators{"_", "-", " ", ""};

// Bytes that real names hold and that a careless CSV writer or name decoder would mangle: quotes and
// commas must pass unescaped, and 8-bit bytes must be copied without a character-set conversion.
constexpr std::array<std::string_view, 9> kOddBits{"\"", ",",    "'",        " (1)",   "&",
                                                   "#",  "\xE9", "\xFC\xDF", ", \"x\""};

template <size_t N> std::string_view pick(Rng& rng, const std::array<std::string_view, N>& words) {
    return words[below(rng, N)];
}

void appendNumber(std::string& out, uint64_t value, int width) {
    std::string digits = std::to_string(value);
    if (digits.size() < static_cast<size_t>(width))
        out.append(static_cast<size_t>(width) - digits.size(), '0');
    out += digits;
}

// The shape a sibling group shares: a stem and a separator that every member starts with, and how the
// members differ.
enum class Shape { numbered, dated, worded, independent };

std::string memberName(Rng& rng, NameKind kind, Shape shape, std::string_view stem, std::string_view sep,
                       std::string_view ext, uint64_t serial) {
    std::string name;
    switch (shape) {
    case Shape::numbered:
        name.append(stem).append(sep);
        appendNumber(name, serial, 4);
        break;
    case Shape::dated:
        name.append(stem).append(sep);
        appendNumber(name, 2000 + serial / 12 % 25, 4);
        name += '-';
        appendNumber(name, serial % 12 + 1, 2);
        break;
    case Shape::worded:
        name.append(stem).append(sep).append(kind == NameKind::folder ? pick(rng, kFolderWords)
                                                                      : pick(rng, kFileStems));
        break;
    case Shape::independent:
        name.append(kind == NameKind::folder ? pick(rng, kFolderWords) : pick(rng, kFileStems));
        if (chance(rng, 1, 3)) name.append(pick(rng, kSeparators)).append(pick(rng, kFolderWords));
        break;
    }
    if (kind == NameKind::file) {
        // Mostly the group's extension, so names that differ only in their serial share almost all bytes.
        name += '.';
        name.append(chance(rng, 4, 5) ? ext : pick(rng, kExtensions));
    }
    return name;
}

void addOddBytes(Rng& rng, std::string& name) {
    std::string_view odd = pick(rng, kOddBits);
    size_t at = below(rng, name.size() + 1);
    name.insert(at, odd);
}

// Pads a short name with words and cuts a long one. Now and then a name is stretched to a random length
// within the limits, so that long names (long compact counts in 1.7) turn up when the limits allow them.
void fitLength(Rng& rng, std::string& name, const NameRules& rules) {
    size_t target = 0;
    if (chance(rng, 1, 16)) target = between(rng, rules.minLength, rules.maxLength);
    size_t want = std::max(rules.minLength, target);
    while (name.size() < want) name.append("_").append(pick(rng, kFolderWords));
    if (name.size() > rules.maxLength) name.resize(rules.maxLength);
    if (target != 0 && name.size() > target) name.resize(std::max(target, rules.minLength));
}

}  // namespace

std::string pickWord(Rng& rng) { return std::string(pick(rng, kFolderWords)); }

void makeSiblingNames(Rng& rng, NameKind kind, size_t count, const NameRules& rules,
                      std::vector<std::string>& out) {
    out.clear();
    if (count == 0) return;
    out.reserve(count);
    Shape shape = static_cast<Shape>(below(rng, 4));
    std::string_view stem = kind == NameKind::folder ? pick(rng, kFolderWords) : pick(rng, kFileStems);
    std::string_view sep = pick(rng, kSeparators);
    std::string_view ext = pick(rng, kExtensions);
    uint64_t serial = below(rng, 5000);
    for (size_t i = 0; i < count; ++i) {
        std::string name = memberName(rng, kind, shape, stem, sep, ext, serial);
        serial += 1 + (chance(rng, 1, 4) ? below(rng, 30) : 0);
        if (rules.oddBytes && chance(rng, 1, 40)) addOddBytes(rng, name);
        fitLength(rng, name, rules);
        out.push_back(std::move(name));
    }
    std::sort(out.begin(), out.end());
}

}  // namespace catagen
