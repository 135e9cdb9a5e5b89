#include "readers/folder_names.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "stream/run_context.h"
#include "stream/field_encodings.h"

namespace catadump {

namespace {

constexpr size_t arenaBlockSize = size_t{2} << 20;
// Texts longer than this get memory of their own, so the shared block is not abandoned half-used for them.
constexpr size_t longestSharedText = size_t{256} << 10;

// A name is stored whole once its runs would average fewer bytes than this. Each record can add at most
// one run, so the bytes copied for whole names stay below this many per record.
constexpr uint32_t shortestAverageRun = 16;

size_t firstZero(std::string_view bytes) {
    const void* zero = bytes.empty() ? nullptr : std::memchr(bytes.data(), 0, bytes.size());
    return zero == nullptr ? bytes.size() : static_cast<size_t>(static_cast<const char*>(zero) - bytes.data());
}

const char* storeText(TextArena& arena, std::string_view bytes) {
    char* stored = allocateText(arena, bytes.size());
    if (!bytes.empty()) std::memcpy(stored, bytes.data(), bytes.size());
    return stored;
}

} // namespace

void ArenaBlockDelete::operator()(char* block) const { ::operator delete[](block, std::align_val_t{arenaBlockSize}); }

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

bool decodeFrontCodedName(DatabaseStream& stream, NameState& state, NameList list, CountWidth width) {
    auto readCount = [&stream, width]() -> uint32_t {
        return width == CountWidth::compact ? readCompactCount(stream) : readU8(stream);
    };
    uint32_t suffixLength = readCount();
    if (suffixLength == 0) {  // the previous name again; no strip count follows
        state.kept = state.name.size();
        return true;
    }
    uint32_t stripCount = readCount();
    size_t previousLength = state.name.size();
    if (stripCount > previousLength) {
        say(*stream.run, list == NameList::folders ? "Invalid folder code offset %d > %d.\n"
                                      : "Invalid file code offset %d > %d.\n",
            static_cast<int>(stripCount), static_cast<int>(previousLength));
        stream.run->flags.corrupt = true;
        return false;
    }
    state.kept = previousLength - stripCount;
    state.name.resize(state.kept);
    bool complete = readPieces(stream, suffixLength, [&state](const uint8_t* piece, size_t n) {
        state.name.append(reinterpret_cast<const char*>(piece), n);
    });
    // A suffix that could not be read counts as zeroes; the reader stops after this record.
    if (!complete) std::fill(state.name.begin() + static_cast<std::ptrdiff_t>(state.kept), state.name.end(), '\0');
    // A zero byte among the kept ones still ends the visible name; otherwise the suffix decides.
    if (state.visible >= state.kept) state.visible = state.kept + firstZero(std::string_view(state.name).substr(state.kept));
    return true;
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

void writeVisibleName(CsvWriter& writer, FolderNames& names, uint32_t folder) {
    uint32_t length = names.names[folder].visibleLength;
    if (char* out = reserveSpace(writer, length)) {
        copyVisibleName(names, folder, out);
        commitSpace(writer, length);
        return;
    }
    // Longer than the writer's buffer: gather the runs from the last, then write them first to last.
    std::vector<std::string_view>& pieces = names.pieces;
    pieces.clear();
    uint32_t end = length;
    for (uint32_t at = names.names[folder].shownFolder; end > 0; at = names.names[at].prefixFolder) {
        const FolderName& holder = names.names[at];
        pieces.emplace_back(holder.run, end - holder.runStart);
        end = holder.runStart;
    }
    for (size_t k = pieces.size(); k > 0; --k) writeString(writer, pieces[k - 1]);
}

} // namespace catadump
