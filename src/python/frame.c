/* Database._fill_columns: the entries as the columns of a data frame, made here without a Python object per
 * number; where a fatal condition ends them, those before it, and its line under "_fatal". Each numeric
 * column is a bytearray of fixed-width values that NumPy views without a copy (catadump/frames.py); the paths
 * and names are lists of str.
 *
 * A database read on the reader's own thread: the GIL is kept while entries are ready and let go only while
 * the conversion is waited for; a str per path and name needs it, and taking it again for every entry would
 * cost more than the entry. A database opened _on_caller (Dask's partitions: a task is given one core) is
 * converted on this thread with the GIL let go, and its entries are gathered and made into columns a few
 * thousand at a time with the GIL taken again.
 *
 * A database split into parts (Dask's blocksize) gives those entries whose index i has
 * i * parts / stated == part, where `stated` is the count its header states (the last part also takes any
 * beyond it): the same bytes state the same count in every reading, so each entry is in exactly one part,
 * and the parts in order are the entries in order. */
#include "catadump_python.h"

#include "compat.h"

#include <stdlib.h>
#include <string.h>

/* The columns, in the frame's order; `wanted` is a mask of their bits. */
enum {
    COLUMN_PATH,
    COLUMN_NAME,
    COLUMN_TYPE,
    COLUMN_FOLDER,
    COLUMN_PARENT,
    COLUMN_SIZE,
    COLUMN_CREATED,
    COLUMN_MODIFIED,
    COLUMN_ACCESSED,
    COLUMN_CREATED_FILETIME,
    COLUMN_MODIFIED_FILETIME,
    COLUMN_ACCESSED_FILETIME,
    COLUMN_ATTRIBUTES,
    COLUMN_STATUS, /* only for a database opened with recover=True */
    COLUMN_COUNT
};

static const struct {
    const char* name;
    size_t width; /* bytes a value; 0 for the str columns */
} columns[COLUMN_COUNT] = {
    {"path", 0},
    {"name", 0},
    {"type", 1},              /* int8: 0 folder, 1 file */
    {"folder", 8},            /* int64: the folder's index among the folders, -1 for a file */
    {"parent", 8},            /* int64: the index of the folder it is in, -1 at the top */
    {"size", 8},              /* uint64 */
    {"created", 8},           /* int64 nanoseconds since 1970 UTC, NaT's value where there is no date */
    {"modified", 8},          /* the same */
    {"accessed", 8},          /* the same */
    {"created_filetime", 8},  /* uint64: the stored number */
    {"modified_filetime", 8}, /* the same */
    {"accessed_filetime", 8}, /* the same */
    {"attributes", 4},        /* uint32 */
    {"status", 1},            /* int8: CATADUMP_INTACT, CATADUMP_RECOVERED, CATADUMP_PARTIAL */
};

/* NumPy's and pandas' "not a time": the least int64. */
#define NOT_A_TIME INT64_MIN

/* A Windows file time (100 ns since 1601) as nanoseconds since 1970: not a time for 0 (no date) and for a
 * time that does not fit in 64 bits of nanoseconds (before 1677 or after 2262). */
static int64_t nanoseconds_since_1970(uint64_t filetime) {
    const int64_t ticks_1601_to_1970 = INT64_C(116444736000000000);
    const int64_t fitting = INT64_MAX / 100;
    if (filetime == 0 || filetime > (uint64_t)INT64_MAX) return NOT_A_TIME;
    int64_t ticks = (int64_t)filetime - ticks_1601_to_1970;
    if (ticks > fitting || ticks <= -fitting) return NOT_A_TIME;
    return ticks * 100;
}

typedef struct {
    unsigned wanted;
    PyObject* lists[2];             /* path, name */
    PyObject* arrays[COLUMN_COUNT]; /* the bytearrays of the numeric columns wanted */
    char* data[COLUMN_COUNT];       /* their bytes, again after each resize */
    Py_ssize_t rows;                /* filled */
    Py_ssize_t room;                /* rows the bytearrays hold */
} Columns;

static int wanted(const Columns* c, int column) { return (c->wanted >> column) & 1u; }

/* Room for more rows in every numeric column: half as many again as there are (bytearray's own growth is
 * an eighth, and each step may move the bytes). */
static int grow(Columns* c) {
    Py_ssize_t room = c->room < 4096 ? 4096 : c->room + c->room / 2;
    for (int column = COLUMN_TYPE; column < COLUMN_COUNT; ++column) {
        if (!wanted(c, column)) continue;
        if (PyByteArray_Resize(c->arrays[column], room * (Py_ssize_t)columns[column].width) != 0) return -1;
        c->data[column] = PyByteArray_AS_STRING(c->arrays[column]);
    }
    c->room = room;
    return 0;
}

static void put(Columns* c, int column, const void* value) {
    size_t width = columns[column].width;
    memcpy(c->data[column] + (size_t)c->rows * width, value, width);
}

static PyObject* decoded(const char* text, size_t length) {
    return PyUnicode_DecodeUTF8(text, (Py_ssize_t)length, "surrogateescape");
}

/* The name's str: the tail of the path's where that is pure ASCII (a byte a character) and the name is the
 * path's tail, as it nearly always is; else decoded on its own. */
static PyObject* name_of(const catadump_entry* entry, PyObject* path) {
    size_t start = entry->path_length - entry->name_length;
    if (path != NULL && PyUnicode_IS_ASCII(path) && entry->name_length <= entry->path_length &&
        memcmp(entry->path + start, entry->name, entry->name_length) == 0) {
        return PyUnicode_Substring(path, (Py_ssize_t)start, (Py_ssize_t)entry->path_length);
    }
    return decoded(entry->name, entry->name_length);
}

static int append_entry(Columns* c, const catadump_entry* entry) {
    if (c->rows == c->room && grow(c) != 0) return -1;
    PyObject* path = NULL;
    if (wanted(c, COLUMN_PATH) || wanted(c, COLUMN_NAME)) {
        path = decoded(entry->path, entry->path_length);
        if (path == NULL) return -1;
    }
    if (wanted(c, COLUMN_NAME)) {
        PyObject* name = name_of(entry, path);
        int failed = name == NULL || PyList_Append(c->lists[COLUMN_NAME], name) != 0;
        Py_XDECREF(name);
        if (failed) {
            Py_XDECREF(path);
            return -1;
        }
    }
    if (path != NULL) {
        int failed = wanted(c, COLUMN_PATH) && PyList_Append(c->lists[COLUMN_PATH], path) != 0;
        Py_DECREF(path);
        if (failed) return -1;
    }
    int8_t type = entry->is_folder ? 0 : 1;
    int64_t folder = entry->folder == CATADUMP_NO_FOLDER ? -1 : (int64_t)entry->folder;
    int64_t parent = entry->parent == CATADUMP_NO_FOLDER ? -1 : (int64_t)entry->parent;
    const uint64_t filetimes[3] = {entry->created, entry->modified, entry->accessed};
    if (wanted(c, COLUMN_TYPE)) put(c, COLUMN_TYPE, &type);
    if (wanted(c, COLUMN_FOLDER)) put(c, COLUMN_FOLDER, &folder);
    if (wanted(c, COLUMN_PARENT)) put(c, COLUMN_PARENT, &parent);
    if (wanted(c, COLUMN_SIZE)) put(c, COLUMN_SIZE, &entry->size);
    for (int date = 0; date < 3; ++date) {
        if (wanted(c, COLUMN_CREATED + date)) {
            int64_t time = nanoseconds_since_1970(filetimes[date]);
            put(c, COLUMN_CREATED + date, &time);
        }
        if (wanted(c, COLUMN_CREATED_FILETIME + date))
            put(c, COLUMN_CREATED_FILETIME + date, &filetimes[date]);
    }
    if (wanted(c, COLUMN_ATTRIBUTES)) put(c, COLUMN_ATTRIBUTES, &entry->attributes);
    if (wanted(c, COLUMN_STATUS)) {
        int8_t status = (int8_t)entry->status;
        put(c, COLUMN_STATUS, &status);
    }
    ++c->rows;
    return 0;
}

/* The filled columns as a dict, each bytearray cut to its rows. */
static PyObject* columns_dict(Columns* c) {
    PyObject* dict = PyDict_New();
    if (dict == NULL) return NULL;
    for (int column = 0; column < COLUMN_COUNT; ++column) {
        if (!wanted(c, column)) continue;
        PyObject* value = column < COLUMN_TYPE ? c->lists[column] : c->arrays[column];
        if (column >= COLUMN_TYPE &&
            PyByteArray_Resize(value, c->rows * (Py_ssize_t)columns[column].width) != 0) {
            Py_DECREF(dict);
            return NULL;
        }
        if (PyDict_SetItemString(dict, columns[column].name, value) != 0) {
            Py_DECREF(dict);
            return NULL;
        }
    }
    return dict;
}

/* The part of the entry at `index` among `parts`, by the count the header states. */
static uint64_t part_of(uint64_t index, uint64_t stated, uint64_t parts) {
    if (stated == 0) return 0;
    if (index >= stated) return parts - 1;
    return index * parts / stated; /* index < 2^33 and parts < 2^20: no overflow */
}

/* Which entries a filling takes, and where it stands. */
typedef struct {
    uint64_t part, parts, stated, index;
} Split;

/* 1: take the entry; 0: one of an earlier part; -1: past this part, nothing more to take. */
static int split_takes(Split* split, catadump_reader* reader) {
    uint64_t index = split->index++;
    if (split->parts == 1) return 1;
    if (index == 0) split->stated = catadump_stated_entries(reader);
    uint64_t part = part_of(index, split->stated, split->parts);
    return part == split->part ? 1 : part < split->part ? 0 : -1;
}

/* An entry gathered while the GIL is let go: its path and name point into Gathered.bytes from `offset`. */
typedef struct {
    size_t offset;
    catadump_entry entry;
} Held;

enum { GATHERED_ENTRIES = 4096 };

typedef struct {
    Columns* c;
    Database* self;
    Split split;
    PyThreadState* saved; /* the GIL, let go */
    char* bytes;
    size_t used, room;
    Held held[GATHERED_ENTRIES];
    size_t count;
    int failed; /* an exception is set: the columns could not take the entries */
} Gathered;

/* The gathered entries into the columns, with the GIL held; then a signal (Ctrl-C) is raised. */
static int append_gathered(Gathered* g) {
    for (size_t k = 0; k < g->count && !g->failed; ++k) {
        catadump_entry* entry = &g->held[k].entry;
        entry->path = g->bytes + g->held[k].offset;
        entry->name = entry->path + entry->path_length - entry->name_length;
        if (append_entry(g->c, entry) != 0) g->failed = 1;
    }
    g->count = 0;
    g->used = 0;
    if (!g->failed && PyErr_CheckSignals() != 0) g->failed = 1;
    return g->failed ? -1 : 0;
}

static int gather_entry(void* context, const catadump_entry* entry) {
    Gathered* g = (Gathered*)context;
    int takes = split_takes(&g->split, g->self->reader);
    if (takes <= 0) return takes < 0;
    size_t length = entry->path_length + 1;
    if (g->room - g->used < length) {
        size_t room = g->room * 2 > g->used + length ? g->room * 2 : g->used + length;
        char* bytes = (char*)realloc(g->bytes, room);
        if (bytes == NULL) {
            PyEval_RestoreThread(g->saved);
            PyErr_NoMemory();
            g->failed = 1;
            g->saved = PyEval_SaveThread();
            return 1;
        }
        g->bytes = bytes;
        g->room = room;
    }
    memcpy(g->bytes + g->used, entry->path, length);
    g->held[g->count].offset = g->used;
    g->held[g->count].entry = *entry;
    g->used += length;
    if (++g->count < GATHERED_ENTRIES) return 0;
    PyEval_RestoreThread(g->saved);
    int failed = append_gathered(g);
    g->saved = PyEval_SaveThread();
    return failed;
}

/* The entries of a database opened _on_caller: 0 at their end (or the part's), or -1 and an exception. */
static int fill_on_caller(Database* self, Columns* c, Split split) {
    Gathered* g = (Gathered*)calloc(1, sizeof(Gathered));
    if (g == NULL) {
        PyErr_NoMemory();
        return -1;
    }
    g->c = c;
    g->self = self;
    g->split = split;
    g->saved = PyEval_SaveThread();
    int status = catadump_each(self->reader, gather_entry, g);
    PyEval_RestoreThread(g->saved);
    if (!g->failed) append_gathered(g);
    int failed = g->failed;
    free(g->bytes);
    free(g);
    if (failed) {
        self->ended = 1;
        return -1;
    }
    return catadump_py_end_entries(self, status == CATADUMP_STOPPED ? 0 : status);
}

/* The entries of a database read on the reader's own thread: 0 at their end (or the part's), or -1 and an
 * exception. */
static int fill_from_thread(Database* self, Columns* c, Split split) {
    catadump_entry entry;
    entry.status = CATADUMP_INTACT; /* written by the reader only when it recovers */
    int status;
    while ((status = catadump_py_next_entry(self, &entry, 1)) == 1) {
        int takes = split_takes(&split, self->reader);
        if (takes < 0) return 0; /* the rest is the later parts': closing the database ends it */
        if (takes > 0 && append_entry(c, &entry) != 0) return -1;
    }
    return status;
}

PyObject* catadump_py_fill_columns(PyObject* object, PyObject* arguments) {
    Database* self = (Database*)object;
    unsigned long mask = 0;
    unsigned long long part = 0, parts = 1;
    if (!PyArg_ParseTuple(arguments, "k|KK:_fill_columns", &mask, &part, &parts)) return NULL;
    if (mask >= (1ul << COLUMN_COUNT)) {
        PyErr_Format(PyExc_ValueError, "_fill_columns takes a mask of %d columns, not %lu", COLUMN_COUNT,
                     mask);
        return NULL;
    }
    if (parts == 0 || parts > (1ull << 20) || part >= parts) {
        PyErr_Format(PyExc_ValueError,
                     "_fill_columns takes a part below parts (1 to 2**20), not %llu of %llu", part, parts);
        return NULL;
    }
    if (catadump_py_check_usable(self) != 0) return NULL;
    Columns c;
    memset(&c, 0, sizeof c);
    c.wanted = (unsigned)mask;
    Split split = {part, parts, 0, 0};
    PyObject* result = NULL;
    for (int column = 0; column < COLUMN_COUNT; ++column) {
        if (!wanted(&c, column)) continue;
        PyObject** slot = column < COLUMN_TYPE ? &c.lists[column] : &c.arrays[column];
        *slot = column < COLUMN_TYPE ? PyList_New(0) : PyByteArray_FromStringAndSize(NULL, 0);
        if (*slot == NULL) goto done;
    }
    self->busy = 1;
    int status = 0;
    if (!self->ended)
        status = self->on_caller ? fill_on_caller(self, &c, split) : fill_from_thread(self, &c, split);
    self->busy = 0;
    /* A fatal condition keeps the rows before it: the dict says which line ended them, under "_fatal". */
    PyObject* fatal = NULL;
    if (status < 0 && PyErr_ExceptionMatches(self->error)) {
        PyObject* raised = take_raised_exception();
        fatal = raised != NULL ? PyObject_Str(raised) : NULL;
        Py_XDECREF(raised);
        status = fatal != NULL ? 0 : -1;
    }
    if (status == 0) result = columns_dict(&c);
    if (result != NULL && fatal != NULL && PyDict_SetItemString(result, "_fatal", fatal) != 0)
        Py_CLEAR(result);
    Py_XDECREF(fatal);
done:
    for (int column = 0; column < COLUMN_COUNT; ++column) {
        if (column < COLUMN_TYPE) {
            Py_XDECREF(c.lists[column]);
        } else {
            Py_XDECREF(c.arrays[column]);
        }
    }
    return result;
}
