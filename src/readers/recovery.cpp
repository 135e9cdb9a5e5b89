#include "readers/recovery.h"

#include <algorithm>
#include <cstring>

namespace catadump {

namespace {

// Bytes taken from the stream at a time, and how many the reader may leave behind it before they are
// dropped from the front of the window.
constexpr size_t windowChunk = size_t{256} << 10;
constexpr size_t windowKeep = size_t{1} << 20;
constexpr size_t windowBehind = size_t{64} << 10;

// The stream's next bytes onto the window's end; false at the end of the data. The end of the data is not
// a failed read here: a reader that needs bytes the data does not have says so itself.
bool growWindow(RecoveryWindow& window) {
    DatabaseStream& stream = *window.stream;
    if (bufferedBytes(stream) == 0) {
        bool before = stream.run->flags.readError;
        size_t got = fillReadAhead(stream);
        stream.run->flags.readError = before;  // looking ahead past the end is no failure of the database
        if (got == 0) return false;
    }
    size_t piece = std::min(bufferedBytes(stream), windowChunk);
    window.bytes.insert(window.bytes.end(), stream.cursor, stream.cursor + piece);
    stream.cursor += piece;
    return true;
}

}  // namespace

void openRecoveryWindow(RecoveryWindow& window, DatabaseStream& stream, uint64_t decodedOffset) {
    window.stream = &stream;
    window.bytes.clear();
    window.at = 0;
    window.dropped = 0;
    window.startsAt = decodedOffset;
    window.ended = false;
}

size_t windowAvailable(RecoveryWindow& window, size_t n) {
    if (window.at > windowKeep + windowBehind) {
        // The bytes well behind the position go; those just behind it stay, for windowBack.
        size_t drop = window.at - windowBehind;
        window.bytes.erase(window.bytes.begin(), window.bytes.begin() + static_cast<std::ptrdiff_t>(drop));
        window.dropped += drop;
        window.at -= drop;
    }
    while (window.bytes.size() - window.at < n && !window.ended) {
        if (!growWindow(window)) window.ended = true;
    }
    return std::min(n, window.bytes.size() - window.at);
}

size_t zeroRun(RecoveryWindow& window, size_t limit) {
    size_t available = windowAvailable(window, limit);
    const uint8_t* bytes = windowData(window);
    size_t n = 0;
    while (n < available && bytes[n] == 0) ++n;
    return n;
}

void stepRecoveredName(RecoveredName& name, uint64_t strip, std::string_view suffix) {
    if (strip <= name.tail.size()) {
        name.tail.resize(name.tail.size() - static_cast<size_t>(strip));
    } else {
        name.tail.clear();  // the strip reached into the lost piece, which is still lost
    }
    name.tail.append(suffix);
}

void showRecoveredName(const RecoveredName& name, std::string& shown) {
    shown.clear();
    if (!name.whole) shown = "<?>";
    shown.append(name.tail.data(), firstZero(name.tail));
}

namespace {

void sayGap(RunContext& run, const GapReport& report) {
    say(run, "Damage at byte %llu of the data: %llu bytes skipped, %llu rows read after it\n",
        static_cast<unsigned long long>(report.gapAt), static_cast<unsigned long long>(report.gapSkipped),
        static_cast<unsigned long long>(report.gapRows));
}

}  // namespace

void reportGap(RunContext& run, GapReport& report, uint64_t at, uint64_t skipped) {
    if (report.inGap) sayGap(run, report);
    report.inGap = true;
    report.gapAt = at;
    report.gapSkipped = skipped;
    report.gapRows = 0;
    ++report.gaps;
}

void countRecoveredRow(GapReport& report, EntryStatus status) {
    switch (status) {
        case EntryStatus::intact:
            ++report.intact;
            break;
        case EntryStatus::recovered:
            ++report.recovered;
            break;
        case EntryStatus::partial:
            ++report.partial;
            break;
    }
    if (report.inGap) ++report.gapRows;
}

void finishGapReport(RunContext& run, GapReport& report) {
    if (report.inGap) sayGap(run, report);
    report.inGap = false;
    say(run, "rows intact: %llu, recovered: %llu, partial: %llu\n", static_cast<unsigned long long>(report.intact),
        static_cast<unsigned long long>(report.recovered), static_cast<unsigned long long>(report.partial));
}

}  // namespace catadump
