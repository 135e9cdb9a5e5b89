#include "model/folder_names.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace catadump {

namespace {

constexpr size_t arenaBlockSize = size_t{2} << 20;
// Texts longer than this get memory of their own, so the shared block is not abandoned half-used for them.
constexpr size_t longestSharedText = size_t{256} << 10;

// A name is stored whole once its runs would average fewer bytes than this. Each record can add at most
// one run, so the bytes copied for whole names stay below this many per record.
constexpr uint32_t shortestAverageRun = 16;

const char* storeText(TextArena& arena, std::string_view bytes) {
    char* stored = allocateText(arena, bytes.size());
    if (!bytes.empty()) std::memcpy(stored, bytes.data(), bytes.size());
    return stored;
}

}  // namespace

void ArenaBlockDelete::operator()(char* block) const {
    ::operator delete[](block, std::align_val_t{arenaBlockSize});
}

char* allocateText(TextArena& arena, size_t n) {
    if (n > arena.left) {
        if (n > longestSharedText) {
            arena.stored += n;
            return arena.longTexts.emplace_back(new char[n]).get();
        }
        char* block = new (std::align_val_t{arenaBlockSize}) char[arenaBlockSize];
        arena.next = arena.blocks.emplace_back(block).get();
        arena.left = arenaBlockSize;
        platform::adviseLargePages(block, arenaBlockSize);
    }
    arena.stored += n;
    char* text = arena.next;
    arena.next += n;
    arena.left -= n;
    return text;
}

void storeDecodedFolderName(FolderNames& names, uint32_t folder, NameState& state) {
    std::vector<FolderName>& all = names.names;
    uint32_t previous = state.folder;
    state.folder = folder;
    std::string_view whole = state.name;
    uint32_t kept = static_cast<uint32_t>(state.kept);
    if (kept == whole.size()) {  // the previous name again: the same runs serve
        all[folder] = previous == noFolder ? FolderName{} : all[previous];
        return;
    }
    FolderName name;
    name.length = static_cast<uint32_t>(whole.size());
    name.visibleLength = static_cast<uint32_t>(state.visible);
    std::string_view suffix = whole.substr(kept);
    // The folder whose run holds the last kept byte: up the previous name's prefixes, past those whose
    // runs begin at or after the cut. Those are passed over for good, since later names borrow from this
    // one, so the walks of a whole list take one step per record.
    uint32_t holder = kept == 0 ? noFolder : previous;
    while (holder != noFolder && all[holder].runStart >= kept) holder = all[holder].prefixFolder;
    TextArena& arena = names.text;
    if (holder != noFolder && holder == previous && kept == all[previous].length &&
        all[previous].run + (kept - all[previous].runStart) == arena.next && suffix.size() <= arena.left) {
        // The previous name grows, and its run ends where the arena's free bytes begin: extend that run.
        const FolderName& grown = all[previous];
        name.run = grown.run;
        name.runStart = grown.runStart;
        name.prefixFolder = grown.prefixFolder;
        name.runs = grown.runs;
        storeText(arena, suffix);
    } else {
        name.runs = holder == noFolder ? 1 : all[holder].runs + 1;
        if (name.runs > 1 && uint64_t{name.runs} * shortestAverageRun > name.length) {
            name.run = storeText(arena, whole);  // too many short runs: store the name whole
            name.runs = 1;
        } else {
            name.run = storeText(arena, suffix);
            name.runStart = kept;
            name.prefixFolder = holder;
        }
    }
    // The last visible byte lies in this name's own run, or among the kept bytes: then it is the previous
    // name's last visible byte too, or (when the zero byte comes first in the suffix) the last kept byte.
    if (name.visibleLength > name.runStart || name.visibleLength == 0) {
        name.shownFolder = folder;
    } else {
        name.shownFolder = name.visibleLength == kept ? holder : all[previous].shownFolder;
    }
    all[folder] = name;
}

void setFolderNameBytes(FolderNames& names, uint32_t folder, std::string_view bytes) {
    FolderName& name = names.names[folder];
    name = FolderName{};
    name.run = bytes.data();
    name.length = static_cast<uint32_t>(bytes.size());
    name.visibleLength = static_cast<uint32_t>(firstZero(bytes));
    name.shownFolder = folder;
}

void copyVisibleName(const FolderNames& names, uint32_t folder, char* out) {
    const FolderName& name = names.names[folder];
    uint32_t end = name.visibleLength;
    for (uint32_t at = name.shownFolder; end > 0; at = names.names[at].prefixFolder) {
        const FolderName& holder = names.names[at];
        std::memcpy(out + holder.runStart, holder.run, end - holder.runStart);
        end = holder.runStart;
    }
}

}  // namespace catadump
