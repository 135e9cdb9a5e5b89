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

Parsed takeName(RecordBytes& record, CountWidth width, RecoveredRecord& out) {
    auto count = [&](uint32_t& value) {
        uint8_t first = 0;
        if (!takeU8(record, first)) return false;
        if (width == CountWidth::byte || first != 255) {
            value = first;
            return true;
        }
        return takeU32(record, value);
    };
    uint32_t suffixLength = 0;
    out.strip = 0;
    if (!count(suffixLength)) return Parsed::cut;
    if (suffixLength > longestSuffix) return Parsed::wrong;
    if (suffixLength != 0) {
        if (!count(out.strip)) return Parsed::cut;
        if (out.strip > longestStrip) return Parsed::wrong;
    }
    const uint8_t* suffix = record.bytes + record.at;
    if (!takeBytes(record, suffixLength)) return Parsed::cut;
    for (uint32_t k = 0; k < suffixLength; ++k) {
        if (nameByteImpossible(suffix[k])) return Parsed::wrong;
    }
    out.suffix = {reinterpret_cast<const char*>(suffix), suffixLength};
    return Parsed::whole;
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
    run.recovery = {report.intact, report.recovered, report.partial, report.gaps};
    say(run, "rows intact: %llu, recovered: %llu, partial: %llu\n",
        static_cast<unsigned long long>(report.intact), static_cast<unsigned long long>(report.recovered),
        static_cast<unsigned long long>(report.partial));
}

namespace {

// Zero bytes where a record starts, this many or more, are a range of the database that was zeroed: no
// record of a valid database has them (a record's dates, its name or the parent reference of the next
// break any such run long before).
constexpr size_t zerosOfDamage = 64;

// Whether `count` convincing records follow one another from the window's position (or fewer that end
// exactly where the data does).
bool runStartsHere(RecoveryWindow& window, const RecordParser& parser, int count) {
    size_t available = windowAvailable(window, static_cast<size_t>(count) * longestRecord);
    const uint8_t* bytes = windowData(window);
    size_t at = 0;
    for (int k = 0; k < count; ++k) {
        if (at == available) return window.ended && k > 0;
        size_t zeros = 0;
        while (at + zeros < available && bytes[at + zeros] == 0 && zeros < zerosOfDamage) ++zeros;
        if (zeros == zerosOfDamage) return false;
        RecoveredRecord record;
        if (parser.parse(parser.context, bytes + at, available - at, Proof::convincing, record) !=
                Parsed::whole ||
            gapWithin(*window.stream, windowOffset(window) + at, windowOffset(window) + at + record.length)) {
            return false;
        }
        at += record.length;
    }
    return true;
}

// A record read but not yet sent: it goes once the record after it is read, so that a record the damage
// began in can still be held back. Its name is the name state's own, which the next record's name steps
// from only once that record is taken.
struct HeldFile {
    bool held = false;
    size_t length = 0;
    uint32_t folder = noFolder;
    RowValues values;
    bool hasValues = false;
    EntryStatus status = EntryStatus::intact;
};

void sendHeld(EntrySink& sink, FolderTable& folders, HeldFile& held, const RecoveredName& name,
              std::string& shown, GapReport& report) {
    if (!held.held) return;
    // A whole name is its bytes, none of them zero (a record with a zero byte in its name is not taken).
    std::string_view visible = name.tail;
    if (!name.whole) {
        showRecoveredName(name, shown);
        visible = shown;
    }
    sendEntry(sink, folders,
              {EntryKind::file, held.folder, visible, held.hasValues ? &held.values : nullptr, held.status});
    countRecoveredRow(report, held.status);
    held.held = false;
}

// Whether a zeroed range starts at `bytes`.
bool zeroedHere(const uint8_t* bytes, size_t available) {
    if (available < zerosOfDamage || bytes[0] != 0) return false;
    for (size_t k = 1; k < zerosOfDamage; ++k) {
        if (bytes[k] != 0) return false;
    }
    return true;
}

}  // namespace

void recoverRecords(DatabaseStream& stream, EntrySink& sink, FolderTable& folders, const RecordParser& parser,
                    uint64_t count, GapReport& report) {
    RecoveryWindow window;
    openRecoveryWindow(window, stream, streamPosition(stream));
    RecoveredName name;
    std::string shown;
    HeldFile held;
    bool afterGap = false;
    uint64_t read = 0;
    while (afterGap || read < count) {
        size_t available = windowAvailable(window, longestRecord);
        if (available == 0 && afterGap) break;  // the records after the gap reach the end of the data
        RecoveredRecord record;
        Parsed parsed = Parsed::wrong;
        if (!zeroedHere(windowData(window), available)) {
            parsed = parser.parse(parser.context, windowData(window), available,
                                  afterGap ? Proof::likely : Proof::acceptable, record);
        }
        if (parsed == Parsed::whole && name.whole && record.strip > name.tail.size()) parsed = Parsed::wrong;
        // A record read across a lost bzip2 block is made of bytes that never followed one another: the
        // decoder has reported that damage already.
        bool acrossLostBlock = parsed == Parsed::whole &&
                               gapWithin(stream, windowOffset(window), windowOffset(window) + record.length);
        if (acrossLostBlock) parsed = Parsed::wrong;
        if (parsed == Parsed::whole) {
            sendHeld(sink, folders, held, name, shown, report);
            stepRecoveredName(name, record.strip, record.suffix);
            // Field by field: a whole new record built and copied costs a stall on every row.
            held.held = true;
            held.length = record.length;
            held.folder = record.folder;
            held.values = record.values;
            held.hasValues = record.hasValues;
            held.status = !afterGap    ? EntryStatus::intact
                          : name.whole ? EntryStatus::recovered
                                       : EntryStatus::partial;
            windowAdvance(window, record.length);
            ++read;
            continue;
        }
        // Damage: the data is wrong here, or ends inside a record (a database cut short). The run reports
        // it as the strict reader does: a read that came up short, or a corrupt structure.
        if (parsed == Parsed::cut) {
            stream.run->flags.readError = true;
        } else if (!acrossLostBlock) {
            stream.run->flags.corrupt = true;
        }
        // The record before stays only if it is likely: else the damage began in it, as likely as not.
        if (held.held && !afterGap) {
            windowBack(window, held.length);
            RecoveredRecord check;
            if (parser.parse(parser.context, windowData(window), held.length, Proof::likely, check) ==
                Parsed::whole) {
                windowAdvance(window, held.length);
            } else {
                held.held = false;
            }
        }
        sendHeld(sink, folders, held, name, shown, report);
        uint64_t gapStart = windowOffset(window);
        // The next run starts after the damage, and never inside a zeroed range: there, zero fields read
        // as folder 0, the name before and no values, which a record made partly of the bytes after the
        // range can pass for.
        size_t zerosBefore = 0;
        if (windowAvailable(window, 1) > 0) {
            zerosBefore = *windowData(window) == 0 ? 1 : 0;
            windowAdvance(window, 1);
        }
        while (windowAvailable(window, 1) > 0) {
            if (*windowData(window) == 0) {
                size_t zeros = zeroRun(window, zerosOfDamage);
                if (zerosBefore + zeros >= zerosOfDamage) {
                    windowAdvance(window, zeros);
                    zerosBefore += zeros;
                    continue;
                }
            }
            if (runStartsHere(window, parser, parser.recordsToResume)) {
                // The run's first record may be the one the damage ended in: a few bytes of its start
                // changed still leave a record that parses (a parent reference's low byte, say). It goes
                // with the gap, and the names after it owe nothing to it.
                RecoveredRecord first;
                parser.parse(parser.context, windowData(window), windowAvailable(window, longestRecord),
                             Proof::convincing, first);
                windowAdvance(window, first.length);
                break;
            }
            zerosBefore = *windowData(window) == 0 ? zerosBefore + 1 : 0;
            windowAdvance(window, 1);
        }
        reportGap(*stream.run, report, gapStart, windowOffset(window) - gapStart);
        afterGap = true;
        name.whole = false;
        name.tail.clear();
    }
    sendHeld(sink, folders, held, name, shown, report);
}

}  // namespace catadump
