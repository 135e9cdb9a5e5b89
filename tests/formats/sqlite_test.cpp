// The sqlite format read back by the sqlite3 program: databases of every version, raw and bzip2-wrapped,
// against the list of the same database (its entries through the record interface, and the csv format's
// dates), and damaged databases against the console of the same run in the csv format.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "catagen/encode.h"
#include "catagen/synthetic.h"
#include "driver/convert.h"
#include "formats/output_format.h"
#include "model/folder_table.h"
#include "model/paths.h"
#include "support/conversion_harness.h"
#include "support/db_builder.h"
#include "support/versions.h"

namespace catadump::test {
namespace {

#if defined(CATADUMP_WITH_SQLITE)

std::string hexOf(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (char c : bytes) {
        hex += digits[static_cast<unsigned char>(c) >> 4];
        hex += digits[static_cast<unsigned char>(c) & 15];
    }
    return hex;
}

// Each entry of the list as the query in the test prints its row: is_folder|hex(path)|hex(name)|values.
void writeNothing(RowOutput&, ColumnSet) {}
void writeRowLine(EntrySink& sink, FolderTable& table, const Entry& entry) {
    RowOutput& output = rowOutput(sink);
    bool folder = entry.kind == EntryKind::folder;
    std::string name;
    if (folder) {
        appendVisibleName(name, table, entry.folder);
    } else {
        name = entry.name;
    }
    entryPath(table, entry, output.path);
    std::string line = folder ? "1|" : "0|";
    line += hexOf(output.path);
    line += '|';
    line += hexOf(name);
    const RowValues* v = entry.values;
    for (uint64_t value :
         {v ? v->size : 0, v ? v->dateCreated : 0, v ? v->dateModified : 0, v ? v->dateAccessed : 0}) {
        line += '|';
        if (v != nullptr) line += std::to_string(value);
    }
    line += '|';
    line += std::to_string(entryAttributes(entry));
    line += '\n';
    writeString(*output.writer, line);
}
const OutputFormat rowLines = {"rows", writeNothing, writeRowLine};

// What sqlite3 prints for the SQL on the database (list mode: '|' between columns, NULL as nothing).
std::string query(const TempDir& dir, const std::string& database, const std::string& sql) {
    std::string script = dir.write("query.sql", sql + ";\n");
    std::string command = "sqlite3 -batch -bail '" + database + "' < '" + script + "' 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "popen failed";
    char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    pclose(pipe);
    return output;
}

constexpr uint64_t lastIso = 2650467743999999999;  // 9999-12-31T23:59:59.9999999Z

catagen::Tree oddTree(Version version) {
    catagen::SyntheticParams params;
    params.seed = 9;
    params.folders = 60;
    params.files = 500;
    params.forwardReferencePercent = 20;  // folder rows before their parent's
    params.filesystemFilePercent = isQwtb(version) ? 0 : 5;
    catagen::Tree tree = catagen::makeSyntheticTree(params);
    catagen::materializeFiles(tree);
    uint32_t folder = static_cast<uint32_t>(tree.folders.size());
    tree.folders.push_back({"odd|\xff folder", 0, 0, {.size = 1, .attributes = 16}});
    const std::pair<const char*, catagen::Values> files[] = {
        {"bad\xff\xfe", {.size = 7, .created = 1, .modified = 116444736000000000 - 1, .attributes = 32}},
        {"caf\xc3\xa9", {.size = ~0ull, .created = lastIso, .modified = lastIso + 1, .accessed = ~0ull}},
        {"\xed\xa0\x80surrogate", {.created = 125962560000000000, .accessed = 132593079671234567}},
    };
    for (const auto& [name, values] : files) tree.files.push_back({name, folder, 0, values});
    // Plain files after the odd ones: rows go into the file many to a statement, and the odd rows must
    // take that way too, not only the one of the last few rows.
    for (int i = 0; i < 100; ++i) tree.files.push_back({"plain " + std::to_string(i), 0, 0, {.size = 1}});
    return tree;
}

TEST(SqliteFormat, EveryVersionReadsBackThroughSqlite3) {
    TempDir dir;
    for (Version version : allVersions) {
        std::string raw = catagen::encodeDatabase(oddTree(version), version);
        for (const std::string& database : {raw, bzip2(raw)}) {
            SCOPED_TRACE(versionName(version) + (database == raw ? ", raw" : ", bzip2"));
            InMemoryConversion expected = convertInMemory(database, defaultReadAhead, rowLines);
            ASSERT_FALSE(expected.flags.readError || expected.flags.corrupt) << expected.console;
            std::string db = dir.write("Quillseek.db", database);
            // An existing file at the output is replaced.
            std::string out = dir.write("out.sqlite", std::string(100000, 'x'));
            ProgramRun run = runProgram({"--format=sqlite", db, out});
            ASSERT_EQ(run.exitCode, 0) << run.console;
            ProgramRun csv = runProgram({"--format=csv", db, dir.pathOf("out.csv")});
            ASSERT_EQ(csv.exitCode, 0) << csv.console;
            EXPECT_EQ(consoleFrom(run.console, "Magic"), consoleFrom(csv.console, "Magic"));

            // Every row in list order, with the list's exact bytes.
            std::string rows = query(dir, out,
                                     "SELECT is_folder, hex(path), hex(name), size, created, modified, "
                                     "accessed, attributes FROM entries ORDER BY id");
            EXPECT_EQ(rows, expected.csv);
            // Parents: a row is in the folder row whose path, a backslash and its name make its path, or, at
            // the top of a filesystem, has none and its name is its path.
            EXPECT_EQ(query(dir, out,
                            "SELECT count(*) FROM entries f LEFT JOIN entries d ON f.parent = d.id WHERE "
                            "CASE WHEN f.parent IS NULL THEN CAST(f.path AS BLOB) <> CAST(f.name AS BLOB) "
                            "ELSE d.id IS NULL OR d.is_folder <> 1 OR "
                            "CAST(f.path AS BLOB) <> CAST(d.path || X'5C' || f.name AS BLOB) END"),
                      "0\n");
            // A lookup of a path's bytes finds its row: TEXT for UTF-8, BLOB with the exact bytes otherwise.
            // (The odd folder's name is not UTF-8, so neither are the paths in it.)
            std::vector<std::string> listed = lines(expected.csv);
            const std::pair<const char*, const char*> lookups[] = {
                {"bad\xff\xfe", "|blob|blob"}, {"caf\xc3\xa9", "|text|blob"}, {nullptr, ""}};
            for (auto [name, types] : lookups) {
                std::string field = name != nullptr ? '|' + hexOf(name) + '|' : std::string();
                size_t at = 0;  // the first row, or the one of that name
                while (at < listed.size() && listed[at].find(field) == std::string::npos) ++at;
                ASSERT_LT(at, listed.size());
                std::string path = listed[at].substr(2, listed[at].find('|', 2) - 2);
                std::string sql = name != nullptr ? "SELECT id, typeof(name), typeof(path)" : "SELECT id";
                sql += " FROM entries WHERE path = X'" + path + "' OR path = CAST(X'" + path + "' AS TEXT)";
                std::string found = std::to_string(at + 1);
                found += types;
                found += '\n';
                EXPECT_EQ(query(dir, out, sql), found);
            }
            std::string plans = query(dir, out,
                                      "EXPLAIN QUERY PLAN SELECT id FROM entries WHERE path = 'a';"
                                      "EXPLAIN QUERY PLAN SELECT id FROM entries WHERE parent = 2");
            EXPECT_NE(plans.find("INDEX entries_path (path=?)"), std::string::npos) << plans;
            EXPECT_NE(plans.find("INDEX entries_parent (parent=?)"), std::string::npos) << plans;

            // The view's dates are the csv format's.
            if (isLate(version)) {
                std::string csvDates;
                std::vector<std::string> csvLines = csvRows(*readWholeFile(dir.pathOf("out.csv")));
                for (size_t i = 1; i < csvLines.size(); ++i) {
                    const std::string& row = csvLines[i];
                    size_t last = row.rfind(',');
                    size_t first = row.rfind(',', row.rfind(',', row.rfind(',', last - 1) - 1) - 1);
                    csvDates += row.substr(first + 1, last - first - 1) + "\n";
                }
                EXPECT_EQ(query(dir, out,
                                "SELECT ifnull(created, '') || ',' || ifnull(modified, '') || ',' || "
                                "ifnull(accessed, '') FROM entries_iso ORDER BY id"),
                          csvDates);
            }

            size_t rowCount = lines(expected.csv).size();
            std::string header = headerLineOf(version);
            header.resize(header.size() - 2);  // without its CR LF
            EXPECT_EQ(query(dir, out, "SELECT name, value FROM facts WHERE name <> 'console' ORDER BY name"),
                      "corrupt|0\nfatal|\nheader|" + header + "\nread_error|0\nrecognised|1\nrows|" +
                          std::to_string(rowCount) + "\nversion|" +
                          std::string(catagen::versionInfo(version).label) + "\n");
            EXPECT_EQ(query(dir, out, "SELECT value FROM facts WHERE name = 'console'"),
                      consoleFrom(run.console, "Magic") + "\n");
        }
    }
}

// A cut database ends the run as it does in the other formats; the facts say what the console says, and
// the rows are those the list has.
TEST(SqliteFormat, DamagedDatabasesAreRecordedInTheFacts) {
    TempDir dir;
    catagen::SyntheticParams params;
    params.folders = 300;
    params.files = 5000;
    catagen::Tree tree = catagen::makeSyntheticTree(params);
    std::string late = catagen::encodeDatabase(tree, Version::v1_7_20);
    std::string old = catagen::encodeDatabase(tree, Version::v1_6_6);
    std::string packed = bzip2(late);
    const std::string cuts[] = {late.substr(0, late.size() / 2), old.substr(0, old.size() / 3),
                                packed.substr(0, packed.size() / 2), late.substr(0, 6)};
    for (const std::string& database : cuts) {
        SCOPED_TRACE(database.size());
        std::string db = dir.write("Quillseek.db", database);
        ProgramRun csv = runProgram({"--format=csv", db, dir.pathOf("out.csv")});
        ProgramRun run = runProgram({"--format=sqlite", db, dir.pathOf("out.sqlite")});
        EXPECT_EQ(run.exitCode, csv.exitCode);
        std::string console = consoleFrom(run.console, "Magic");
        EXPECT_EQ(console, consoleFrom(csv.console, "Magic"));
        bool readError = console.find("Error: Encounted atleast one read error\n") != std::string::npos;
        bool corrupt = console.find("Error: database corrupt\n") != std::string::npos;
        EXPECT_TRUE(readError || corrupt) << console;
        size_t csvRowCount = csvRows(*readWholeFile(dir.pathOf("out.csv"))).size();
        std::string facts = query(dir, dir.pathOf("out.sqlite"),
                                  "SELECT value FROM facts WHERE name IN ('read_error', 'corrupt', 'rows') "
                                  "ORDER BY name");
        EXPECT_EQ(facts, std::string(corrupt ? "1" : "0") + "\n" + (readError ? "1" : "0") + "\n" +
                             std::to_string(csvRowCount > 0 ? csvRowCount - 1 : 0) + "\n");
        // The console fact holds the conversion's lines, not the final report printed after it.
        // (As hex: a cut in the signature puts zero bytes in the console, and so a BLOB in the facts.)
        std::string kept =
            query(dir, dir.pathOf("out.sqlite"), "SELECT hex(value) FROM facts WHERE name = 'console'");
        size_t report = std::min(console.find("Error: Encounted"), console.find("Error: database corrupt\n"));
        EXPECT_EQ(kept, hexOf(console.substr(0, report)) + "\n");
    }
}

// --recover gives `entries` and its view a last column status, TEXT, intact in every row of an intact
// database, in the file of one database and of many; the rows are otherwise the strict file's (which has no
// such column).
TEST(SqliteFormat, RecoverGivesEveryRowItsStatus) {
    TempDir dir;
    std::string db =
        dir.write("Quillseek.db", catagen::encodeDatabase(oddTree(Version::v1_7_20), Version::v1_7_20));
    std::string strict = dir.pathOf("strict.sqlite");
    ASSERT_EQ(runProgram({"--format=sqlite", db, strict}).exitCode, 0);
    std::string rows = query(dir, strict, "SELECT count(*) FROM entries");
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--recover", "--format=sqlite", db, dir.pathOf("one")},
          std::vector<std::string>{"--recover", "--format=sqlite", "-o", dir.pathOf("many"), db}}) {
        const std::string& out = arguments[3];  // in both forms
        ASSERT_EQ(runProgram(arguments).exitCode, 0) << out;
        EXPECT_EQ(
            query(dir, out,
                  "SELECT name, type FROM pragma_table_info('entries') ORDER BY cid DESC LIMIT 1;"
                  "SELECT count(*) FROM entries_iso WHERE status = 'intact'; ATTACH '" +
                      strict +
                      "' AS strict; SELECT count(*) FROM (SELECT id, parent, is_folder, name, path, size, "
                      "created, modified, accessed, attributes, status FROM main.entries EXCEPT "
                      "SELECT *, 'intact' FROM strict.entries)"),
            "status|TEXT\n" + rows + "0\n");
    }
    // Entries of each status handed to the format straight.
    const OutputFormat& sqlite = *findOutputFormat("sqlite");
    CsvWriter writer;
    RowOutput output;
    output.writer = &writer;
    output.context = sqlite.openFile(dir.write("direct.sqlite", ""), false, true);
    bindFormat(output, sqlite);
    sendHeader(output, 0x01070014, ColumnSet::nameAndAttributes);
    FolderTable table;
    for (EntryStatus status : {EntryStatus::partial, EntryStatus::recovered, EntryStatus::intact}) {
        sendEntry(output, table, {EntryKind::file, noFolder, "n", nullptr, status});
    }
    ASSERT_TRUE(sqlite.finishFile(output.context, RunOutcome{}));
    EXPECT_EQ(query(dir, dir.pathOf("direct.sqlite"),
                    "SELECT group_concat(status) FROM (SELECT status FROM entries ORDER BY id)"),
              "partial,recovered,intact\n");
}

// SQLite's failure to write the file is the run's write error, and leaves nothing that looks like a result.
TEST(SqliteFormat, AFileThatCannotBeWrittenIsAWriteError) {
    TempDir dir;
    catagen::SyntheticParams params;
    std::string db = dir.write("Quillseek.db",
                               catagen::encodeDatabase(catagen::makeSyntheticTree(params), Version::v1_7_20));
    ProgramRun full = runProgram({"--format=sqlite", db, "/dev/full"});
    EXPECT_EQ(full.exitCode, 2);
    EXPECT_TRUE(full.console.ends_with("Conversion complete!\nError: Encounted atleast one write error\n"))
        << full.console;
}

#else

TEST(SqliteFormat, ABuildWithoutSqliteRefusesTheFormat) {
    ProgramRun run = runProgram({"--format=sqlite", "Quillseek.db", "out.sqlite"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(findOutputFormat("sqlite"), nullptr);
}

#endif

}  // namespace
}  // namespace catadump::test
