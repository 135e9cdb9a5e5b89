// The list as an SQLite database, for queries rather than reading: the table `entries` has a row per folder
// and file in list order, `entries_iso` shows it with the dates as the csv format writes them, and `facts`
// says what the run found (version, header line, read error, corruption, console lines, fatal line);
// `sources` holds each input's provenance (one row, or one per input when the rows of many inputs share
// the file, where each row's `source` is its input's id). In a run that recovers, each row of `entries` has
// its `status` (intact, recovered, partial) in a last column.
//
// The file is made in one transaction without a journal: it is new, so there is nothing to roll back to.
// It is a new empty file that the program made for it under a name of its own, which takes the output's
// place only once finished; the indexes, the view and `facts` are made last, just before the commit, so a
// file that has no `facts` table (one that a killed run left under its own name) is not a finished
// conversion. When SQLite fails (the disk is full), the rows that follow are dropped and finishing reports
// the failure: the program then removes the file, and the run reports a write error.
//
// Names and paths are the database's bytes: TEXT when they are valid UTF-8, BLOB otherwise, so nothing is
// lost. Values are INTEGER, file times as stored; the few above the range of SQLite's signed integers are
// TEXT of their decimal digits (which SQLite sorts after every number). The columns have no declared type,
// so that SQLite keeps each value as it is bound.
#include "formats/format_rows.h"

#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "model/paths.h"

namespace catadump {

namespace {

// The rows of many inputs in one file carry their input's row of `sources` in a column after the id; the rows
// of a run that recovers their status in a last column, always TEXT.
std::string tableSql(bool withSource, bool recover) {
    return std::string("CREATE TABLE entries(id INTEGER PRIMARY KEY, ") +
           (withSource ? "source REFERENCES sources(id), " : "") +
           "parent, is_folder, name, path, size, created, modified, accessed, attributes" +
           (recover ? ", status TEXT)" : ")");
}

// Rows go in a batch at a time, one statement for many rows: what SQLite does once per statement (open the
// table, find its end, close it, end the statement) then costs little per row. The id is left to SQLite:
// it numbers the rows of the new table 1, 2, ... in the order they go in, as `rows` counts them here (a
// failed insert ends the rows), and appends each row at the table's end without first looking whether its
// id is taken, which a given id costs.
constexpr int batchRows = 64;
constexpr int entryColumns = 9;  // all but the id, the source and the status

// The parameters of a row: its columns but the id.
int rowParameters(bool withSource, bool recover) {
    return entryColumns + (withSource ? 1 : 0) + (recover ? 1 : 0);
}

// The INSERT of the given number of rows.
std::string insertSql(int rows, bool withSource, bool recover) {
    std::string sql = std::string("INSERT INTO entries(") + (withSource ? "source, " : "") +
                      "parent, is_folder, name, path, size, created, modified, accessed, attributes" +
                      (recover ? ", status" : "") + ") VALUES";
    int columns = rowParameters(withSource, recover);
    for (int row = 0; row < rows; ++row) {
        sql += row == 0 ? "(?" : ",(?";
        for (int column = 1; column < columns; ++column) sql += ",?";
        sql += ")";
    }
    return sql;
}

// A date column as the csv format writes it: NULL for 0, ISO 8601 UTC to 100 ns up to the end of the year
// 9999, the number past it. A stored time is never negative, so whole seconds and the fraction come from
// SQLite's integer division and remainder (which truncate towards zero) without a correction, and the
// seconds are moved to the Unix epoch only after the division: times before 1970 come out right.
std::string isoDateSql(const char* column) {
    std::string c = column;
    return "CASE WHEN typeof(" + c + ") <> 'integer' OR " + c + " > " + std::to_string(lastIsoFileTime) +
           " THEN " + c + " WHEN " + c + " = 0 THEN NULL ELSE strftime('%Y-%m-%dT%H:%M:%S', " + c +
           " / 10000000 - 11644473600, 'unixepoch') || printf('.%07dZ', " + c + " % 10000000) END AS " + c;
}

// The indexes, built once the rows are in, the view, the inputs' table and the facts' table.
std::string finishingSql(bool withSource, bool recover) {
    return std::string("CREATE INDEX entries_path ON entries(path);"
                       "CREATE INDEX entries_parent ON entries(parent);") +
           "CREATE TABLE sources(id INTEGER PRIMARY KEY, path, size, sha256, mtime, version, header, rows, "
           "read_error, corrupt, fatal, status, console, dates_out_of_range" +
           (recover ? ", rows_intact, rows_recovered, rows_partial, gaps" : "") +
           ");"
           "CREATE VIEW entries_iso AS SELECT id, " +
           (withSource ? "source, " : "") + "parent, is_folder, name, path, size, " + isoDateSql("created") +
           ", " + isoDateSql("modified") + ", " + isoDateSql("accessed") + ", attributes" +
           (recover ? ", status" : "") +
           " FROM entries;"
           "CREATE TABLE facts(name TEXT PRIMARY KEY, value);";
}

// A row waiting in the batch; its name and path are in the batch's text.
struct PendingRow {
    int64_t source;  // the input's row of `sources`, in a file of many inputs
    int64_t parent;  // 0 for NULL
    bool folder;
    bool nameValid;
    bool pathValid;
    bool hasValues;  // else size and the dates are NULL
    RowValues values;
    uint32_t attributes;
    EntryStatus status;
    size_t nameStart;
    size_t nameSize;
    size_t pathSize;  // the path follows the name
};

struct SqliteFile {
    sqlite3* db = nullptr;
    sqlite3_stmt* insertBatch = nullptr;  // batchRows rows
    sqlite3_stmt* insertOne = nullptr;    // the rows of a last, partial batch
    bool withSource = false;              // rows of many inputs, each with its source
    bool recover = false;                 // rows with their status
    bool failed = false;
    bool versionKnown = false;
    uint32_t version = 0;
    ColumnSet columns = ColumnSet::nameAndAttributes;
    int64_t rows = 0;
    // The rows not yet inserted (fewer than batchRows), and their names and paths one after the other.
    std::vector<PendingRow> pending;
    std::string pendingText;
    // Each folder's row id (0 while it has none), and the rows written before their folder's row was.
    std::vector<int64_t> folderRows;
    std::vector<std::pair<int64_t, uint32_t>> waitingForFolder;
    // Whether the folder part of the last file's path was valid UTF-8, while files of that folder follow.
    uint32_t checkedFolder = noFolder;
    bool checkedFolderValid = false;
    std::string folderName;
};

bool run(SqliteFile& file, const char* sql) {
    if (!file.failed && sqlite3_exec(file.db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        file.failed = true;
    }
    return !file.failed;
}

// Whether the bytes are UTF-8 that SQLite can take as TEXT: well-formed, and without a zero byte, which
// SQLite's text functions take as the end.
bool validUtf8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        // ASCII eight bytes at a time, the rest one sequence at a time.
        if (i + 8 <= bytes.size()) {
            uint64_t word;
            std::memcpy(&word, bytes.data() + i, 8);
            if ((word & 0x8080808080808080ull) == 0 && anyByteIs(word, 0) == 0) {
                i += 8;
                continue;
            }
        }
        if (bytes[i] == '\0') return false;
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        size_t length = utf8SequenceAt(bytes, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

// Bytes as TEXT when they are UTF-8, else as BLOB. The statement only reads them during its step.
int bindBytes(sqlite3_stmt* statement, int column, std::string_view bytes, bool utf8) {
    const char* data = bytes.empty() ? "" : bytes.data();  // a null pointer would bind NULL
    auto n = static_cast<int>(bytes.size());
    return utf8 ? sqlite3_bind_text(statement, column, data, n, SQLITE_STATIC)
                : sqlite3_bind_blob(statement, column, data, n, SQLITE_STATIC);
}

int bindValue(sqlite3_stmt* statement, int column, uint64_t value) {
    if (value <= static_cast<uint64_t>(INT64_MAX)) {
        return sqlite3_bind_int64(statement, column, static_cast<sqlite3_int64>(value));
    }
    std::string digits = std::to_string(value);
    return sqlite3_bind_text(statement, column, digits.data(), static_cast<int>(digits.size()),
                             SQLITE_TRANSIENT);
}

void* openSqliteFile(const std::string& path, bool withSource, bool recover) {
    auto file = std::make_unique<SqliteFile>();
    file->withSource = withSource;
    file->recover = recover;
    // The file exists already, empty, and is opened as it is: nothing else is created at the path. The
    // connection is used by this thread alone: no locking in each call.
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &file->db, flags, nullptr) != SQLITE_OK) {
        file->failed = true;
        return file.release();
    }
    // No journal and no syncing: the file is new, and one that SQLite fails to write is removed. Large pages
    // hold the short rows with little overhead per page. The index builds sort with a second thread. (A
    // memory map of the file was slower on large lists, and counted the whole file as the program's memory.)
    run(*file, "PRAGMA page_size = 65536; PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF;"
               "PRAGMA locking_mode = EXCLUSIVE; PRAGMA cache_size = -16384;"
               "PRAGMA threads = 2;");
    run(*file, "BEGIN");
    run(*file, tableSql(withSource, recover).c_str());
    for (auto [rows, statement] :
         {std::pair{batchRows, &file->insertBatch}, std::pair{1, &file->insertOne}}) {
        if (!file->failed && sqlite3_prepare_v3(file->db, insertSql(rows, withSource, recover).c_str(), -1,
                                                SQLITE_PREPARE_PERSISTENT, statement, nullptr) != SQLITE_OK) {
            file->failed = true;
        }
    }
    file->pending.reserve(batchRows);
    return file.release();
}

void insertPending(SqliteFile& file);
void linkWaitingRows(SqliteFile& file);

void writeSqliteHeader(RowOutput& output, ColumnSet columns) {
    auto& file = *static_cast<SqliteFile*>(output.context);
    if (file.withSource) {
        // A new input: its folders are numbered anew, so the rows of the one before take their parents now.
        if (!file.failed) insertPending(file);
        linkWaitingRows(file);
        file.folderRows.clear();
        file.waitingForFolder.clear();
        file.checkedFolder = noFolder;
    }
    file.versionKnown = true;
    file.version = output.version;
    file.columns = columns;
}

// Binds the row's columns to the parameters after `first`.
int bindRow(sqlite3_stmt* statement, int first, const PendingRow& row, const std::string& text,
            const SqliteFile& file) {
    std::string_view name(text.data() + row.nameStart, row.nameSize);
    std::string_view path(text.data() + row.nameStart + row.nameSize, row.pathSize);
    int status = SQLITE_OK;
    if (file.withSource) status |= sqlite3_bind_int64(statement, ++first, row.source);
    status |= row.parent != 0 ? sqlite3_bind_int64(statement, first + 1, row.parent)
                              : sqlite3_bind_null(statement, first + 1);
    status |= sqlite3_bind_int(statement, first + 2, row.folder ? 1 : 0);
    status |= bindBytes(statement, first + 3, name, row.nameValid);
    status |= bindBytes(statement, first + 4, path, row.pathValid);
    if (row.hasValues) {
        status |= bindValue(statement, first + 5, row.values.size);
        status |= bindValue(statement, first + 6, row.values.dateCreated);
        status |= bindValue(statement, first + 7, row.values.dateModified);
        status |= bindValue(statement, first + 8, row.values.dateAccessed);
    } else {
        for (int column = 5; column <= 8; ++column) status |= sqlite3_bind_null(statement, first + column);
    }
    status |= sqlite3_bind_int64(statement, first + 9, row.attributes);
    if (file.recover)
        status |= sqlite3_bind_text(statement, first + 10, statusText(row.status), -1, SQLITE_STATIC);
    return status;
}

bool step(sqlite3_stmt* statement, int status) {
    bool done = status == SQLITE_OK && sqlite3_step(statement) == SQLITE_DONE;
    sqlite3_reset(statement);
    return done;
}

// Inserts the pending rows: a whole batch with one statement, fewer (at the end) one at a time.
void insertPending(SqliteFile& file) {
    if (file.pending.size() == batchRows) {
        int status = SQLITE_OK;
        for (int row = 0; row < batchRows; ++row) {
            int first = row * rowParameters(file.withSource, file.recover);
            status |= bindRow(file.insertBatch, first, file.pending[row], file.pendingText, file);
        }
        if (!step(file.insertBatch, status)) file.failed = true;
    } else {
        for (const PendingRow& row : file.pending) {
            if (file.failed) break;
            if (!step(file.insertOne, bindRow(file.insertOne, 0, row, file.pendingText, file))) {
                file.failed = true;
            }
        }
    }
    file.pending.clear();
    file.pendingText.clear();
}

// The row id of the folder's row for the row `id` in it; 0 (NULL) when it has none yet, and the row waits
// for it when the folder is one of the table's.
int64_t parentRow(SqliteFile& file, const FolderTable& table, uint32_t folder, int64_t id) {
    if (folder >= table.entries.size()) return 0;
    if (folder < file.folderRows.size() && file.folderRows[folder] != 0) return file.folderRows[folder];
    file.waitingForFolder.emplace_back(id, folder);
    return 0;
}

void writeSqliteEntry(EntrySink& sink, FolderTable& table, const Entry& entry) {
    RowOutput& output = rowOutput(sink);
    auto& file = *static_cast<SqliteFile*>(output.context);
    if (file.failed) return;
    int64_t id = ++file.rows;
    bool folder = entry.kind == EntryKind::folder;
    entryPath(table, entry, output.path);
    const std::string& path = output.path;
    std::string_view name;
    bool nameValid;
    bool pathValid;
    int64_t parent;
    if (folder) {
        file.folderName.clear();
        appendVisibleName(file.folderName, table, entry.folder);
        name = file.folderName;
        nameValid = validUtf8(name);
        pathValid = validUtf8(path);
        if (entry.folder >= file.folderRows.size()) {
            file.folderRows.resize(std::max<size_t>(table.entries.size(), entry.folder + size_t{1}));
        }
        if (file.folderRows[entry.folder] == 0) file.folderRows[entry.folder] = id;
        parent = parentRow(file, table, table.entries[entry.folder].parent, id);
        file.checkedFolder = noFolder;
    } else {
        name = entry.name;
        nameValid = validUtf8(name);
        if (entry.folder != file.checkedFolder || entry.folder == noFolder) {
            file.checkedFolder = entry.folder;
            file.checkedFolderValid = validUtf8(std::string_view(path).substr(0, path.size() - name.size()));
        }
        pathValid = nameValid && file.checkedFolderValid;
        parent = parentRow(file, table, entry.folder, id);
    }
    PendingRow row{.source = output.sourceId,
                   .parent = parent,
                   .folder = folder,
                   .nameValid = nameValid,
                   .pathValid = pathValid,
                   .hasValues = entry.values != nullptr,
                   .values = entry.values != nullptr ? *entry.values : RowValues{},
                   .attributes = entryAttributes(entry),
                   .status = entry.status,
                   .nameStart = file.pendingText.size(),
                   .nameSize = name.size(),
                   .pathSize = path.size()};
    file.pendingText.append(name);
    file.pendingText.append(path);
    file.pending.push_back(row);
    if (file.pending.size() == batchRows) insertPending(file);
    // The progress display counts rows as the line ends a list would have, the header's among them.
    if (output.writer->countLines) {
        output.writer->linesWritten.store(static_cast<uint64_t>(id) + 1, std::memory_order_relaxed);
    }
}

// Gives the rows written before their folder's row the id it got.
void linkWaitingRows(SqliteFile& file) {
    if (file.waitingForFolder.empty() || file.failed) return;
    sqlite3_stmt* update = nullptr;
    const char* sql = "UPDATE entries SET parent = ?1 WHERE id = ?2";
    if (sqlite3_prepare_v2(file.db, sql, -1, &update, nullptr) != SQLITE_OK) {
        file.failed = true;
        return;
    }
    for (auto [id, folder] : file.waitingForFolder) {
        if (folder >= file.folderRows.size() || file.folderRows[folder] == 0) continue;
        sqlite3_bind_int64(update, 1, file.folderRows[folder]);
        sqlite3_bind_int64(update, 2, id);
        if (sqlite3_step(update) != SQLITE_DONE) file.failed = true;
        sqlite3_reset(update);
        if (file.failed) break;
    }
    sqlite3_finalize(update);
}

// Binds the value to the parameter: text (or a blob when not UTF-8), a number, or NULL.
struct Binder {
    sqlite3_stmt* statement;
    int column;
    int text(std::string_view value) const { return bindBytes(statement, column, value, validUtf8(value)); }
    int number(int64_t value) const { return sqlite3_bind_int64(statement, column, value); }
    int null() const { return sqlite3_bind_null(statement, column); }
};

void writeFacts(SqliteFile& file, const RunOutcome& outcome) {
    sqlite3_stmt* fact = nullptr;
    const char* sql = "INSERT INTO facts VALUES(?1, ?2)";
    if (file.failed || sqlite3_prepare_v2(file.db, sql, -1, &fact, nullptr) != SQLITE_OK) {
        file.failed = true;
        return;
    }
    auto put = [&](const char* name, auto&& bindValueOf) {
        int status = sqlite3_bind_text(fact, 1, name, -1, SQLITE_STATIC);
        status |= bindValueOf();
        if (status != SQLITE_OK || sqlite3_step(fact) != SQLITE_DONE) file.failed = true;
        sqlite3_reset(fact);
    };
    Binder value{fact, 2};
    // A file of many inputs has no one version: each input's is in `sources`.
    bool versionKnown = file.versionKnown && !outcome.ofMany;
    std::string version = versionLabel(file.version);
    const char* header = headerLineText(file.columns);
    put("version", [&] { return versionKnown ? value.text(version) : value.null(); });
    put("header", [&] { return versionKnown ? value.text(header) : value.null(); });
    put("recognised", [&] { return value.number(outcome.recognised ? 1 : 0); });
    put("read_error", [&] { return value.number(outcome.flags.readError ? 1 : 0); });
    put("corrupt", [&] { return value.number(outcome.flags.corrupt ? 1 : 0); });
    put("rows", [&] { return value.number(file.rows); });
    put("console", [&] { return value.text(outcome.console); });
    put("fatal", [&] {
        if (outcome.fatalLine == nullptr) return value.null();
        std::string_view line = outcome.fatalLine;
        if (line.ends_with('\n')) line.remove_suffix(1);
        return value.text(line);
    });
    sqlite3_finalize(fact);
}

// The inputs, one row each, numbered as their rows' `source`.
void writeSources(SqliteFile& file, std::span<const Provenance> sources) {
    sqlite3_stmt* insert = nullptr;
    // A run that recovers adds its rows by status and its gaps, as its summary line does.
    const char* sql = file.recover
                          ? "INSERT INTO sources VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, "
                            "?12, ?13, ?14, ?15, ?16, ?17, ?18)"
                          : "INSERT INTO sources VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, "
                            "?12, ?13, ?14)";
    if (file.failed || sqlite3_prepare_v2(file.db, sql, -1, &insert, nullptr) != SQLITE_OK) {
        file.failed = true;
        return;
    }
    int64_t id = 0;
    for (const Provenance& input : sources) {
        std::string version = versionLabel(input.version);
        char modified[28];
        if (input.hasModified && input.modified <= lastIsoFileTime) writeIsoDate(modified, input.modified);
        auto at = [&](int column) { return Binder{insert, column}; };
        int status = at(1).number(++id);
        status |= at(2).text(input.path);
        status |= at(3).number(static_cast<int64_t>(input.size));
        status |= input.sha256.empty() ? at(4).null() : at(4).text(input.sha256);
        status |= input.hasModified && input.modified <= lastIsoFileTime
                      ? at(5).text(std::string_view(modified, sizeof modified))
                      : at(5).null();
        status |= input.versionKnown ? at(6).text(version) : at(6).null();
        status |= input.versionKnown ? at(7).text(headerLineText(input.columns)) : at(7).null();
        status |= at(8).number(static_cast<int64_t>(input.rows));
        status |= at(9).number(input.readError ? 1 : 0);
        status |= at(10).number(input.corrupt ? 1 : 0);
        status |= input.fatal.empty() ? at(11).null() : at(11).text(input.fatal);
        status |= at(12).number(input.status);
        status |= at(13).text(input.console);
        status |= at(14).number(static_cast<int64_t>(input.datesOutOfRange));
        if (file.recover) {
            status |= at(15).number(static_cast<int64_t>(input.recovery.intact));
            status |= at(16).number(static_cast<int64_t>(input.recovery.recovered));
            status |= at(17).number(static_cast<int64_t>(input.recovery.partial));
            status |= at(18).number(static_cast<int64_t>(input.recovery.gaps));
        }
        if (!step(insert, status)) file.failed = true;
        if (file.failed) break;
    }
    sqlite3_finalize(insert);
}

bool finishSqliteFile(void* context, const RunOutcome& outcome) {
    std::unique_ptr<SqliteFile> file(static_cast<SqliteFile*>(context));
    if (!file->failed) insertPending(*file);
    sqlite3_finalize(file->insertBatch);
    sqlite3_finalize(file->insertOne);
    linkWaitingRows(*file);
    run(*file, finishingSql(file->withSource, file->recover).c_str());
    writeSources(*file, outcome.sources);
    writeFacts(*file, outcome);
    run(*file, "COMMIT");
    if (sqlite3_close(file->db) != SQLITE_OK) file->failed = true;
    return !file->failed;
}

}  // namespace

const OutputFormat sqliteOutput = {"sqlite", writeSqliteHeader, writeSqliteEntry, openSqliteFile,
                                   finishSqliteFile};

}  // namespace catadump
