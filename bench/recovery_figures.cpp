// The figures of recovery (--recover): generated databases of every version, of 20,000 and 200,000
// entries, damaged at random in their file records in each way evidence is damaged, converted with
// recovery in process and compared with the same database intact (tests/support/recovered_rows.h).
// Prints, per version and kind of damage: the share of the rows of the records wholly after the damage
// that came back, the rows invented (recovered or partial rows that are no row of the intact database),
// the rows read across damage that went unseen there, the share of whole names and of whole folder paths
// among the rows read after a gap. Usage: recovery_figures [CASES] (per version and kind; 200 by default).
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "catagen/encode.h"
#include "catagen/synthetic.h"
#include "support/recovered_rows.h"

using namespace catadump;
using namespace catadump::test;

namespace {

struct Kind {
    const char* name;
    DamageKind kind;
    uint64_t shortest, longest;  // bytes damaged, cut out or inserted
};

const Kind kinds[] = {
    {"zeroed range", DamageKind::zeroed, 512, 16384},
    {"random bytes over", DamageKind::overwritten, 512, 16384},
    {"bytes cut out", DamageKind::cutOut, 1, 8192},
    {"bytes inserted", DamageKind::inserted, 1, 4096},
};

struct Shape {
    catagen::Version version;
    const char* name;
    uint32_t flags;
};

const Shape shapes[] = {
    {catagen::Version::v1_6_6, "1.6.6", 0},      {catagen::Version::v1_6_7, "1.6.7", 0},
    {catagen::Version::v1_7_5, "1.7.5", 0},      {catagen::Version::v1_7_8, "1.7.8", 0},
    {catagen::Version::v1_7_17, "1.7.17", 0x3F}, {catagen::Version::v1_7_20, "1.7.20", 0x3F},
};

struct Database {
    std::string bytes;
    catagen::EncodeMarks marks;
    std::vector<KeptRow> intact;
};

Database makeDatabase(const Shape& shape, uint32_t entries, uint64_t seed) {
    catagen::SyntheticParams params;
    params.seed = seed;
    params.folders = entries / 10;
    params.files = entries - params.folders;
    params.flags = shape.flags;
    params.filesystemTypes = {0, 1, 2, 3};
    Database db;
    catagen::EncodeOptions options;
    options.marks = &db.marks;
    db.bytes = catagen::encodeDatabase(catagen::makeSyntheticTree(params), shape.version, options);
    db.intact = convertKept(db.bytes, false).rows;
    return db;
}

}  // namespace

int main(int argc, char** argv) {
    int cases = argc > 1 ? std::atoi(argv[1]) : 200;
    std::printf("| version | damage | rows back | invented | unseen | whole names | whole folder paths |\n"
                "|---|---|---|---|---|---|---|\n");
    uint64_t inventedInAll = 0;
    for (const Shape& shape : shapes) {
        // Half the cases on a database of 20,000 entries, half on one of 200,000.
        Database small = makeDatabase(shape, 20000, 1), large = makeDatabase(shape, 200000, 2);
        for (const Kind& kind : kinds) {
            std::mt19937_64 random(static_cast<uint64_t>(kind.kind) * 131 +
                                   static_cast<uint64_t>(shape.version));
            RecoveredComparison sum;
            for (int round = 0; round < cases; ++round) {
                const Database& db = round % 2 == 0 ? small : large;
                const auto& files = db.marks.files;
                uint64_t length = kind.shortest + random() % (kind.longest - kind.shortest + 1);
                uint64_t first = files[files.size() / 100].parent;
                uint64_t last = std::min<uint64_t>(files[files.size() - files.size() / 100].end,
                                                   db.bytes.size() - length);
                uint64_t from = first + random() % (last - first);
                uint64_t to = from + (kind.kind == DamageKind::inserted ? 0 : length);
                KeptConversion got = convertKept(damaged(db.bytes, kind.kind, from, length, random), true);
                size_t head = db.intact.size() - files.size(), before = head, firstAfter = head;
                while (files[before - head].end <= from) ++before;
                while (firstAfter < db.intact.size() && files[firstAfter - head].parent < to) ++firstAfter;
                RecoveredComparison c = compareRecovered(db.intact, got.rows, before, firstAfter);
                if (!c.headIntact)
                    std::fprintf(stderr, "%s %s: rows before the damage changed\n", shape.name, kind.name);
                sum.after += c.after;
                sum.back += c.back;
                sum.invented += c.invented;
                sum.unseen += c.unseen;
                sum.recovered += c.recovered;
                sum.wholeNames += c.wholeNames;
                sum.fileRows += c.fileRows;
                sum.wholeFolders += c.wholeFolders;
            }
            inventedInAll += sum.invented;
            auto share = [](uint64_t part, uint64_t whole) {
                return whole == 0 ? 100.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
            };
            std::printf("| %s | %s | %.2f %% | %llu | %.3f %% | %.2f %% | %.2f %% |\n", shape.name, kind.name,
                        share(sum.back, sum.after), static_cast<unsigned long long>(sum.invented),
                        share(sum.unseen, sum.after), share(sum.wholeNames, sum.recovered),
                        share(sum.wholeFolders, sum.fileRows));
            std::fflush(stdout);
        }
    }
    return inventedInAll == 0 ? 0 : 1;
}
