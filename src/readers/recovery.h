// Recovery of a damaged database (--recover): what the readers share when they go on past damage.
//
// A reader that recovers reads its records from a window of the decoded data rather than field by field,
// so that where a record turns out to be damaged it can look further on, byte by byte, for the next
// position where a run of records makes sense, and take up the reading there. What lies between is a gap:
// reported with where it starts and how many bytes it took, never guessed at. A name front-coded against a
// name the gap took keeps the lost piece as "<?>" (no Windows name can hold it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "input/database_stream.h"
#include "model/entry.h"

namespace catadump {

// The decoded data from where recovery began, read ahead so that a reader can look at any byte up to
// `lookahead` past its position without taking it.
struct RecoveryWindow {
    DatabaseStream* stream = nullptr;
    std::vector<uint8_t> bytes;
    size_t at = 0;           // the reader's position in `bytes`
    uint64_t dropped = 0;    // bytes dropped from the front of `bytes` so far
    uint64_t startsAt = 0;   // where the window began in the decoded data
    bool ended = false;      // the data has no more bytes
};

void openRecoveryWindow(RecoveryWindow& window, DatabaseStream& stream, uint64_t decodedOffset);

// At least `n` bytes at the position (fewer only where the data ends): how many there are.
size_t windowAvailable(RecoveryWindow& window, size_t n);
inline const uint8_t* windowData(const RecoveryWindow& window) { return window.bytes.data() + window.at; }
inline void windowAdvance(RecoveryWindow& window, size_t n) { window.at += n; }
// Back by `n` bytes, at most 64 KiB: those behind the position are kept that far.
inline void windowBack(RecoveryWindow& window, size_t n) { window.at -= n; }
// The position's offset in the decoded data.
inline uint64_t windowOffset(const RecoveryWindow& window) {
    return window.startsAt + window.dropped + window.at;
}

// How many zero bytes begin at the position, counting at most `limit`.
size_t zeroRun(RecoveryWindow& window, size_t limit);

// A name of a front-coded list as far as it is known: after a gap, its first piece is lost and only the
// bytes after it (`tail`) are known.
struct RecoveredName {
    std::string tail;
    bool whole = true;
};

// The next name: the previous one less `strip` bytes, then `suffix`. A strip that reaches into the lost
// piece leaves the suffix after a piece still lost (of a length still unknown).
void stepRecoveredName(RecoveredName& name, uint64_t strip, std::string_view suffix);

// The name as a row shows it: "<?>" for the lost piece, then the known bytes up to the first zero byte.
void showRecoveredName(const RecoveredName& name, std::string& shown);

// Bytes no name holds: the control bytes, and the separators.
inline bool nameByteImpossible(uint8_t byte) { return byte < 0x20 || byte == '\\' || byte == '/'; }

// What the gaps of a run took and what came after them, for the console.
struct GapReport {
    uint64_t intact = 0;
    uint64_t recovered = 0;
    uint64_t partial = 0;
    bool inGap = false;  // a gap was met; its line waits for the count of the rows after it
    uint64_t gapAt = 0;
    uint64_t gapSkipped = 0;
    uint64_t gapRows = 0;
    uint64_t gaps = 0;
};

// A gap: it starts at `at` in the decoded data and takes `skipped` bytes. Its console line is printed
// once the rows after it are counted: at the next gap, or at the end.
void reportGap(RunContext& run, GapReport& report, uint64_t at, uint64_t skipped);
void countRecoveredRow(GapReport& report, EntryStatus status);
// The last gap's rows and the totals.
void finishGapReport(RunContext& run, GapReport& report);

}  // namespace catadump
