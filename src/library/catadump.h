/* libcatadump: the entries of a Quillseek index database (raw or bzip2-wrapped), one at a time, for
 * programs. A reader converts on a thread of its own and hands the entries over through a bounded queue
 * (or, opened with CATADUMP_ON_CALLER, on the caller's thread: catadump_each), so memory stays what the
 * program catadump needs, whatever the size of the database. Readers share nothing: any number of them may
 * run at once, each used from one thread at a time. */
#ifndef CATADUMP_H
#define CATADUMP_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(CATADUMP_BUILDING_LIBRARY) && defined(__GNUC__)
#define CATADUMP_API __attribute__((visibility("default")))
#else
#define CATADUMP_API
#endif

#define CATADUMP_NO_FOLDER 0xFFFFFFFFu

typedef struct catadump_reader catadump_reader;

typedef struct catadump_options {
    /* Worker threads that decode a bzip2-wrapped database: 0 one per core, 1 the single-threaded decoder,
     * at most 1024 (as the program's --threads). Memory stays within the decoder's budget whatever the
     * count: past what the budget can keep busy, no more workers are started. */
    unsigned threads;
    /* Receives the console lines as the conversion prints them, on the reader's own thread; NULL keeps
     * them for catadump_console. */
    void (*console)(void* context, const char* text, size_t length);
    void* console_context;
} catadump_options;

/* Up to `size` bytes into `buffer`: the count, 0 at the end of the data, -1 on failure. It runs on a
 * thread of the reader's own, and should wait for data that is late rather than fail. catadump_close waits
 * for a call in progress: a read that may block for long should be made to return (a pipe closed, say)
 * before the reader is closed from another thread. */
typedef long long (*catadump_read_function)(void* context, void* buffer, size_t size);

typedef struct catadump_entry {
    int is_folder;
    /* The full path, bytes exactly as the list writes them, and the entry's own name; both also end in a
     * NUL byte that is not counted. Valid until the next call of catadump_next or catadump_close. */
    const char* path;
    size_t path_length;
    const char* name;
    size_t name_length;
    /* A folder's index among the folders of the database, CATADUMP_NO_FOLDER for a file; the index of
     * the folder the entry is in, CATADUMP_NO_FOLDER at the top of a filesystem. */
    uint32_t folder;
    uint32_t parent;
    /* Versions 1.7.17 and 1.7.20 have the values; the others only the attributes (16 a folder, 0 a file).
     * Dates are Windows file times: 100-nanosecond intervals since 1601-01-01 UTC, 0 when not set. */
    int has_values;
    uint64_t size;
    uint64_t created;
    uint64_t modified;
    uint64_t accessed;
    uint32_t attributes;
    /* Whether the entry was read before any damage (CATADUMP_INTACT), whole after a gap the damage left
     * (CATADUMP_RECOVERED) or with a piece of its path lost (CATADUMP_PARTIAL). Written only for a reader
     * opened with CATADUMP_RECOVER: catadump_next leaves it as it was for any other reader, so that a
     * program built against a header without this field, whose entries are smaller and which never asks
     * for recovery, has nothing written past its entry. (The entry catadump_each hands over is the
     * library's own: without the flag its status is CATADUMP_INTACT.) Keep it the last field. */
    int status;
} catadump_entry;

#define CATADUMP_INTACT 0
#define CATADUMP_RECOVERED 1
#define CATADUMP_PARTIAL 2

/* Each opens a reader; 0 on success, -1 (*reader is then NULL, errno says why) when the path cannot be
 * opened, memory runs short, or the options are out of range (EINVAL: threads above 1024). `options` may
 * be NULL. The descriptor and the callbacks' context stay the caller's and must outlive the reader. A
 * descriptor may be a pipe or in non-blocking mode: its data is waited for. */
CATADUMP_API int catadump_open_path(const char* path, const catadump_options* options,
                                    catadump_reader** reader);
CATADUMP_API int catadump_open_fd(int fd, const catadump_options* options, catadump_reader** reader);
CATADUMP_API int catadump_open_callbacks(catadump_read_function read, void* context,
                                         const catadump_options* options, catadump_reader** reader);

/* The same, with flags: 0, or any of CATADUMP_PROVENANCE, CATADUMP_ON_CALLER and CATADUMP_RECOVER; other
 * bits are refused (-1, errno EINVAL). The functions above are these with flags 0.
 *
 * CATADUMP_PROVENANCE: count and hash (SHA-256) every byte of the database as it is read; where the
 * conversion stops early on damage the rest is still read for the hash; note a regular file's modification
 * time. Without it the reader reads as before, and as fast. */
#define CATADUMP_PROVENANCE 1u
/* CATADUMP_ON_CALLER: no thread of the reader's own. Nothing is converted until catadump_each, which runs
 * the conversion on the calling thread and hands it each entry; catadump_next is refused before that (-1,
 * errno EINVAL) and gives the end after it. The callbacks (read, console) run on the calling thread too.
 * For a caller that has a thread a reader already, a worker of a pool say: the entries then cost one core,
 * and nothing is copied to hand them from one thread to another. */
#define CATADUMP_ON_CALLER 2u
/* CATADUMP_RECOVER: convert as the program's --recover does, going on past damage, and give each entry its
 * status (catadump_entry.status, written only for such a reader). */
#define CATADUMP_RECOVER 4u
CATADUMP_API int catadump_open_path_with(const char* path, const catadump_options* options, unsigned flags,
                                         catadump_reader** reader);
CATADUMP_API int catadump_open_fd_with(int fd, const catadump_options* options, unsigned flags,
                                       catadump_reader** reader);
CATADUMP_API int catadump_open_callbacks_with(catadump_read_function read, void* context,
                                              const catadump_options* options, unsigned flags,
                                              catadump_reader** reader);

/* The next entry: 1 and *entry filled, 0 at the end of the entries, -1 when a fatal condition ended the
 * conversion (catadump_fatal_line says which). Damage gives the entries the program would write, then 0;
 * the report says what went wrong. */
CATADUMP_API int catadump_next(catadump_reader* reader, catadump_entry* entry);

/* The same, waiting `milliseconds` at most for the conversion: CATADUMP_WAITING when no entry came in that
 * time (call again; nothing is lost), so that a caller can attend to other things, signals say, while a
 * slow source is read. */
#define CATADUMP_WAITING 2
CATADUMP_API int catadump_next_timeout(catadump_reader* reader, catadump_entry* entry, unsigned milliseconds);

/* With CATADUMP_ON_CALLER: the conversion on this thread, `each` called with every entry in order (the
 * entry valid during the call). `each` returns 0 for the next entry, or anything else to stop: the
 * conversion is then cancelled and the rest of the database is not read (the provenance then has the
 * entries given as its rows, and no hash). Returns 0 at the end of the entries, -1 when a fatal condition
 * ended them, CATADUMP_STOPPED when `each` stopped them; the report is then as after catadump_next's end.
 * Once a reader: -1 (errno EINVAL) for a second call or a reader opened without the flag. A reader closed
 * from one of its callbacks meanwhile is freed before this returns -1 (errno ECANCELED). */
#define CATADUMP_STOPPED 3
typedef int (*catadump_entry_function)(void* context, const catadump_entry* entry);
CATADUMP_API int catadump_each(catadump_reader* reader, catadump_entry_function each, void* context);

/* The entries the database's header says it holds (its folders and files), once the first entry is in (0
 * before, and for a database whose header was not read). Damage may leave fewer; a consumer that splits a
 * database's entries by their index may rely on it being the same in every reading of the same bytes. */
CATADUMP_API uint64_t catadump_stated_entries(catadump_reader* reader);

/* The database's version word (0x01070014 is 1.7.20) and the header line the list has for it, once the
 * first entry is in, or the end; 0 and "" when the database was not recognised. */
CATADUMP_API uint32_t catadump_version(catadump_reader* reader);
CATADUMP_API const char* catadump_header_line(catadump_reader* reader);

/* The report, once catadump_next has given 0 or -1. */
CATADUMP_API int catadump_read_error(catadump_reader* reader);
CATADUMP_API int catadump_corrupt(catadump_reader* reader);
CATADUMP_API int catadump_recognised(catadump_reader* reader);
CATADUMP_API const char*
catadump_fatal_line(catadump_reader* reader); /* NULL when none ended the conversion */
CATADUMP_API const char* catadump_console(catadump_reader* reader, size_t* length);

/* Where the entries came from, as the program's --summary says it of the same database: its size, SHA-256
 * and modification time (with CATADUMP_PROVENANCE; without it 0, "" and none) and what the conversion
 * gave. */
typedef struct catadump_provenance {
    /* The bytes of the database read, and their SHA-256 as 64 lower-case hex digits; "" when not asked
     * for, or the hash failed, or a read failed. */
    uint64_t size;
    const char* sha256;
    /* A regular file's last modification, as a Windows file time (100 ns since 1601 UTC). */
    int has_modified;
    uint64_t modified;
    /* The entries the conversion gave, and the dates out of range as the program's summary counts them (0
     * where the program's list has no dates to count). */
    uint64_t rows;
    uint64_t dates_out_of_range;
} catadump_provenance;

/* 0 and *provenance filled once catadump_next has given 0 or -1 (strings valid until catadump_close); -1
 * with errno EAGAIN before that. The end of the entries comes once the rest of the database is read for
 * the hash. */
CATADUMP_API int catadump_provenance_of(catadump_reader* reader, catadump_provenance* provenance);

/* Stops the conversion if it is still running and frees everything; the reader is not to be used after.
 * A read of a path or a descriptor that waits for data (an idle pipe) is abandoned, so this returns at
 * once; a read callback in progress is waited for (see catadump_read_function). Called from one of the
 * reader's own callbacks (the read or the console callback), it cannot wait for the conversion, which waits
 * for the callback: the conversion is cancelled, no callback is called again, and the reader's thread
 * frees everything once the conversion has ended; a catadump_next waiting meanwhile returns -1. */
CATADUMP_API void catadump_close(catadump_reader* reader);

/* The inputs of operands as the program's collection forms (-o, --output-dir) take them: files by name,
 * folders searched in name order without following links to folders, a file inside a folder taken when its
 * content is a database (a signature, or bzip2 data whose first block unwraps to one), others (and
 * devices, pipes, broken links) skipped and counted. An operand that is a file (or "-", or a path that
 * names nothing) is always an input, and so is a file in a folder that cannot be opened (its conversion
 * fails to open it, as the program's does). Each file found in a folder is read for its content (at most
 * 2 MiB), apart from its later conversion. 0, or -1 and errno (EINVAL for a NULL operand, ENOMEM). */
typedef struct catadump_inputs catadump_inputs;
typedef struct catadump_input {
    /* The path by which it was found: the operand joined with the path below it; "-" for standard input. */
    const char* source;
    const char* below; /* the path below its operand ("stdin" for "-") */
    int in_folder;     /* found inside a folder operand */
    /* NULL, or why it cannot be read (a folder that could not be listed). */
    const char* problem;
} catadump_input;
CATADUMP_API int catadump_find_inputs(const char* const* operands, size_t count, catadump_inputs** found);
CATADUMP_API size_t catadump_inputs_count(const catadump_inputs* found);
/* 0 and *input filled (its strings valid until catadump_inputs_free), or -1 (EINVAL) out of range. */
CATADUMP_API int catadump_input_at(const catadump_inputs* found, size_t index, catadump_input* input);
CATADUMP_API size_t catadump_inputs_skipped(const catadump_inputs* found);
CATADUMP_API void catadump_inputs_free(catadump_inputs* found);

#ifdef __cplusplus
}
#endif

#endif
