/* The Database type: an open database, iterated for its entries, closed (or used in a with block), with
 * the report as attributes. Every call that may wait for the conversion runs without the GIL, in short
 * slices so that signals are seen; a call runs on one thread at a time, and the reader's thread, inside a
 * file object's read, may not close the database it reads for. Once closed, the report is kept. */
#include "catadump_python.h"

#include "compat.h"

#include <string.h>

static PyObject* decoded(const char* text, size_t length) {
    return PyUnicode_DecodeUTF8(text, (Py_ssize_t)length, "surrogateescape");
}

/* A Windows file time as the summary writes it, "2021-03-04T05:06:07.8912345Z"; None past the year 9999. */
static PyObject* summary_date(uint64_t file_time) {
    const uint64_t ticks_per_day = 864000000000ull;
    if (file_time > 2650467743999999999ull) Py_RETURN_NONE; /* 9999-12-31T23:59:59.9999999Z */
    /* Days since 1601-01-01 as a civil date (the proleptic Gregorian calendar, counted from 0000-03-01). */
    int64_t days = (int64_t)(file_time / ticks_per_day) + 584694; /* 1601-01-01 from 0000-03-01 */
    uint64_t of_day = file_time % ticks_per_day;
    int64_t era = days / 146097;
    unsigned of_era = (unsigned)(days - era * 146097);
    unsigned year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
    unsigned of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    unsigned month_from_march = (5 * of_year + 2) / 153;
    unsigned day = of_year - (153 * month_from_march + 2) / 5 + 1;
    unsigned month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
    long long year = (long long)(era * 400 + year_of_era) + (month <= 2 ? 1 : 0);
    unsigned seconds = (unsigned)(of_day / 10000000);
    char text[40];
    snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%07uZ", year, month, day, seconds / 3600,
             seconds / 60 % 60, seconds % 60, (unsigned)(of_day % 10000000));
    return PyUnicode_FromString(text);
}

/* Sets the key to the value, which it takes; -1 (and the value dropped) on failure. */
static int set_taken(PyObject* dict, const char* key, PyObject* value) {
    if (value == NULL) return -1;
    int status = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return status;
}

static PyObject* version_text(uint32_t word) {
    if (word == 0) Py_RETURN_NONE;
    return PyUnicode_FromFormat("%u.%u.%u", (unsigned)(word >> 24), (unsigned)(word >> 16 & 0xFF),
                                (unsigned)(word & 0xFFFF));
}

/* The console as the summary keeps it: the line that names the path the program opened, the conversion's
 * lines, and the lines that close them (the fatal line alone, or the report of the flags). */
static PyObject* summary_console(Database* self, const char* fatal, int read_error, int corrupt) {
    size_t length = 0;
    const char* console = catadump_console(self->reader, &length);
    PyObject* text = decoded(console, length);
    if (text == NULL) return NULL;
    /* "Encounted atleast" as the program prints it. */
    PyObject* joined =
        PyUnicode_FromFormat("%S%s%s%s", text, fatal != NULL ? fatal : "",
                             fatal == NULL && read_error ? "Error: Encounted atleast one read error\n" : "",
                             fatal == NULL && corrupt ? "Error: database corrupt\n" : "");
    Py_DECREF(text);
    if (joined == NULL || self->path == NULL) return joined;
    PyObject* whole = PyUnicode_FromFormat("%S opened for reading...\n%S", self->path, joined);
    Py_DECREF(joined);
    return whole;
}

#define NOT_ALL_READ "the entries are not all read: the provenance comes once they are"

/* The provenance of an open reader whose entries ended, as a dict with the summary's keys and values. */
static PyObject* provenance_dict(Database* self) {
    catadump_reader* reader = self->reader;
    catadump_provenance provenance;
    if (catadump_provenance_of(reader, &provenance) != 0) {
        PyErr_SetString(PyExc_ValueError, NOT_ALL_READ);
        return NULL;
    }
    uint32_t version = catadump_version(reader);
    int read_error = catadump_read_error(reader), corrupt = catadump_corrupt(reader);
    const char* fatal = catadump_fatal_line(reader);
    int status = fatal != NULL ? 1 : catadump_recognised(reader) && !read_error && !corrupt ? 0 : 2;
    PyObject* dict = PyDict_New();
    if (dict == NULL) return NULL;
    const char* header = catadump_header_line(reader);
    size_t fatal_length = fatal != NULL ? strlen(fatal) : 0;
    if (fatal_length > 0 && fatal[fatal_length - 1] == '\n') --fatal_length;
    int failed =
        set_taken(dict, "path", Py_NewRef(self->path != NULL ? self->path : Py_None)) ||
        set_taken(dict, "size", PyLong_FromUnsignedLongLong(provenance.size)) ||
        set_taken(dict, "sha256",
                  *provenance.sha256 != '\0' ? PyUnicode_FromString(provenance.sha256)
                                             : Py_NewRef(Py_None)) ||
        set_taken(dict, "mtime",
                  provenance.has_modified ? summary_date(provenance.modified) : Py_NewRef(Py_None)) ||
        set_taken(dict, "version", version_text(version)) ||
        set_taken(dict, "header", version != 0 ? decoded(header, strlen(header)) : Py_NewRef(Py_None)) ||
        set_taken(dict, "rows", PyLong_FromUnsignedLongLong(provenance.rows)) ||
        set_taken(dict, "read_error", PyBool_FromLong(read_error)) ||
        set_taken(dict, "corrupt", PyBool_FromLong(corrupt)) ||
        set_taken(dict, "fatal", fatal != NULL ? decoded(fatal, fatal_length) : Py_NewRef(Py_None)) ||
        set_taken(dict, "status", PyLong_FromLong(status)) ||
        set_taken(dict, "console", summary_console(self, fatal, read_error, corrupt)) ||
        set_taken(dict, "dates_out_of_range", PyLong_FromUnsignedLongLong(provenance.dates_out_of_range));
    if (failed) Py_CLEAR(dict);
    return dict;
}

/* Closes the C reader, waiting for its thread without the GIL: the thread may be waiting for the GIL inside
 * a read, or for data of a file object, which gives up once `closing` is set. From the reader's own read
 * (the database's last reference dropped there), the close is left to the reader's thread. */
static void close_c_reader(Database* self, catadump_reader* reader) {
    self->closing = 1;
    Py_BEGIN_ALLOW_THREADS
    catadump_close(reader);
    Py_END_ALLOW_THREADS
}

/* Closes the reader and keeps its report, and its provenance once the entries ended. */
static int database_close_reader(Database* self) {
    if (self->reader == NULL) return 0;
    catadump_reader* reader = self->reader;
    if (self->ended && self->provenance == NULL) {
        self->provenance = provenance_dict(self);
        if (self->provenance == NULL) return -1; /* the reader stays open: closing again may succeed */
    }
    size_t length = 0;
    const char* console = catadump_console(reader, &length);
    const char* header = catadump_header_line(reader);
    PyObject* console_text = decoded(console, length);
    PyObject* header_text = console_text != NULL ? decoded(header, strlen(header)) : NULL;
    if (header_text == NULL) {
        Py_XDECREF(console_text);
        return -1; /* the reader stays open: closing again may succeed */
    }
    Py_XSETREF(self->console, console_text);
    Py_XSETREF(self->header_line, header_text);
    self->version = catadump_version(reader);
    self->read_error = catadump_read_error(reader);
    self->corrupt = catadump_corrupt(reader);
    self->recognised = catadump_recognised(reader);
    self->reader = NULL;
    self->closed = 1;
    close_c_reader(self, reader);
    if (self->has_view) {
        PyBuffer_Release(&self->view);
        self->has_view = 0;
    }
    Py_CLEAR(self->readinto);
    Py_CLEAR(self->read);
    Py_CLEAR(self->fileno);
    Py_CLEAR(self->chunk);
    return 0;
}

static int database_in_use(Database* self) {
    if (!self->busy) return 0;
    PyErr_SetString(PyExc_RuntimeError, "the database is in use by another call (next on another thread)");
    return 1;
}

/* A close from the file object's own read would wait for that read to end: refused. */
static int database_reading_here(Database* self) {
    if (self->reading_thread == 0 || self->reading_thread != PyThread_get_thread_ident()) return 0;
    PyErr_SetString(PyExc_RuntimeError, "the database cannot be closed from its own file object's read");
    return 1;
}

static int database_check_open(Database* self) {
    if (self->reader != NULL) return 0;
    PyErr_SetString(PyExc_ValueError, "operation on a closed database");
    return -1;
}

/* Raises the kept exception, if any: NULL then, else None. */
static PyObject* database_raise_pending(Database* self) {
    if (self->pending == NULL) Py_RETURN_NONE;
    PyObject* pending = self->pending;
    self->pending = NULL;
    raise_kept_exception(pending);
    return NULL;
}

static PyObject* database_close(PyObject* object, PyObject* unused) {
    (void)unused;
    Database* self = (Database*)object;
    if (database_reading_here(self) || database_in_use(self) || database_close_reader(self) != 0) return NULL;
    return database_raise_pending(self);
}

static PyObject* database_enter(PyObject* object, PyObject* unused) {
    (void)unused;
    if (database_check_open((Database*)object) != 0) return NULL;
    Py_INCREF(object);
    return object;
}

static PyObject* database_exit(PyObject* object, PyObject* const* args, Py_ssize_t count) {
    (void)args;
    (void)count;
    PyObject* result = database_close(object, NULL);
    if (result == NULL) return NULL;
    Py_DECREF(result);
    Py_RETURN_FALSE;
}

static PyObject* database_iter(PyObject* object) {
    if (database_check_open((Database*)object) != 0) return NULL;
    Py_INCREF(object);
    return object;
}

int catadump_py_next_entry(Database* self, catadump_entry* entry, int poll_first) {
    int status = poll_first ? catadump_next_timeout(self->reader, entry, 0) : CATADUMP_WAITING;
    /* In slices, so that a signal (Ctrl-C) is raised while the source is slow to give anything. */
    while (status == CATADUMP_WAITING) {
        Py_BEGIN_ALLOW_THREADS
        status = catadump_next_timeout(self->reader, entry, 20);
        Py_END_ALLOW_THREADS
        if (status == CATADUMP_WAITING && PyErr_CheckSignals() != 0) return -1;
    }
    if (status == 1) return 1;
    return catadump_py_end_entries(self, status);
}

int catadump_py_end_entries(Database* self, int status) {
    self->ended = 1;
    if (self->pending != NULL) {
        database_raise_pending(self);
        return -1;
    }
    if (status < 0) {
        const char* line = catadump_fatal_line(self->reader);
        if (line == NULL) line = "";
        size_t length = strlen(line);
        if (length > 0 && line[length - 1] == '\n') --length; /* the line without its end */
        PyObject* message = decoded(line, length);
        if (message != NULL) {
            PyErr_SetObject(self->error, message);
            Py_DECREF(message);
        }
        return -1;
    }
    return 0;
}

int catadump_py_check_usable(Database* self) {
    return database_check_open(self) != 0 || database_in_use(self) ? -1 : 0;
}

static PyObject* database_next(PyObject* object) {
    Database* self = (Database*)object;
    if (catadump_py_check_usable(self) != 0) return NULL;
    if (self->ended) return NULL;
    if (self->on_caller) {
        PyErr_SetString(PyExc_TypeError, "a database opened with _on_caller is read by _fill_columns");
        return NULL;
    }
    catadump_entry entry;
    entry.status = CATADUMP_INTACT; /* written by the reader only when it recovers */
    self->busy = 1;
    int status = catadump_py_next_entry(self, &entry, 0);
    self->busy = 0;
    return status == 1 ? catadump_py_entry_new(self->entry_type, &entry, self->source) : NULL;
}

static PyObject* database_version(PyObject* object, void* closure) {
    (void)closure;
    Database* self = (Database*)object;
    return version_text(self->reader != NULL ? catadump_version(self->reader) : self->version);
}

/* A new dict each time, so that changing one changes no other. */
static PyObject* database_provenance(PyObject* object, void* closure) {
    (void)closure;
    Database* self = (Database*)object;
    if (self->provenance != NULL) return PyDict_Copy(self->provenance);
    if (self->reader == NULL || !self->ended) {
        PyErr_SetString(PyExc_ValueError, NOT_ALL_READ);
        return NULL;
    }
    if (database_in_use(self)) return NULL;
    return provenance_dict(self);
}

static PyObject* database_header_line(PyObject* object, void* closure) {
    (void)closure;
    Database* self = (Database*)object;
    if (self->reader == NULL) {
        Py_INCREF(self->header_line);
        return self->header_line;
    }
    const char* line = catadump_header_line(self->reader);
    return decoded(line, strlen(line));
}

static PyObject* database_console(PyObject* object, void* closure) {
    (void)closure;
    Database* self = (Database*)object;
    if (self->reader == NULL) {
        Py_INCREF(self->console);
        return self->console;
    }
    size_t length = 0;
    const char* text = catadump_console(self->reader, &length);
    return decoded(text, length);
}

/* The closure says which flag of the report. */
static PyObject* database_flag(PyObject* object, void* closure) {
    Database* self = (Database*)object;
    catadump_reader* reader = self->reader;
    switch ((intptr_t)closure) {
    case 0:
        return PyBool_FromLong(reader != NULL ? catadump_read_error(reader) : self->read_error);
    case 1:
        return PyBool_FromLong(reader != NULL ? catadump_corrupt(reader) : self->corrupt);
    case 2:
        return PyBool_FromLong(reader != NULL ? catadump_recognised(reader) : self->recognised);
    default:
        return PyBool_FromLong(reader == NULL);
    }
}

static PyObject* database_source(PyObject* object, void* closure) {
    (void)closure;
    Database* self = (Database*)object;
    if (self->source == NULL) Py_RETURN_NONE;
    Py_INCREF(self->source);
    return self->source;
}

static int database_set_source(PyObject* object, PyObject* value, void* closure) {
    (void)closure;
    Database* self = (Database*)object;
    if (value != NULL && value != Py_None && !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "_source takes a str or None");
        return -1;
    }
    if (value == Py_None) value = NULL;
    Py_XINCREF(value);
    Py_XSETREF(self->source, value);
    return 0;
}

static PyObject* database_repr(PyObject* object) {
    Database* self = (Database*)object;
    PyObject* version = database_version(object, NULL);
    if (version == NULL) return NULL;
    PyObject* repr = PyUnicode_FromFormat("<catadump.Database version %S, %s>", version,
                                          self->reader == NULL ? "closed"
                                          : self->ended        ? "ended"
                                                               : "open");
    Py_DECREF(version);
    return repr;
}

static int database_traverse(PyObject* object, visitproc visit, void* arg) {
    Database* self = (Database*)object;
    Py_VISIT(Py_TYPE(object));
    Py_VISIT(self->readinto);
    Py_VISIT(self->read);
    Py_VISIT(self->fileno);
    Py_VISIT(self->pending);
    Py_VISIT(self->source);
    return 0;
}

/* Called only once the reader is closed (by the finalizer), so its thread no longer uses these. */
static int database_clear(PyObject* object) {
    Database* self = (Database*)object;
    Py_CLEAR(self->readinto);
    Py_CLEAR(self->read);
    Py_CLEAR(self->fileno);
    Py_CLEAR(self->chunk);
    Py_CLEAR(self->pending);
    Py_CLEAR(self->source);
    return 0;
}

static void database_finalize(PyObject* object) {
    Database* self = (Database*)object;
    if (self->reader == NULL) return;
    PyObject* raised = take_raised_exception();
    if (database_close_reader(self) != 0) {
        PyErr_WriteUnraisable(object);
        /* The report could not be kept (no memory for its text); the reader is closed all the same, and
         * here rather than in dealloc: while the finalizer runs the object is alive, so a read callback
         * that is waiting for the GIL may still take and drop a reference to it. */
        catadump_reader* reader = self->reader;
        self->reader = NULL;
        self->closed = 1;
        close_c_reader(self, reader);
    }
    if (raised != NULL) raise_kept_exception(raised);
}

static void database_dealloc(PyObject* object) {
    Database* self = (Database*)object;
    PyTypeObject* type = Py_TYPE(object);
    if (PyObject_CallFinalizerFromDealloc(object) < 0) return; /* brought back to life */
    PyObject_GC_UnTrack(object);
    if (self->has_view) PyBuffer_Release(&self->view);
    database_clear(object);
    Py_XDECREF(self->entry_type);
    Py_XDECREF(self->error);
    Py_XDECREF(self->header_line);
    Py_XDECREF(self->console);
    Py_XDECREF(self->path);
    Py_XDECREF(self->provenance);
    PyObject_GC_Del(object);
    Py_DECREF(type);
}

static PyMethodDef database_methods[] = {
    {"close", database_close, METH_NOARGS,
     "Stops the conversion and frees the reader; harmless when closed."},
    {"__enter__", database_enter, METH_NOARGS, NULL},
    {"__exit__", (PyCFunction)(void (*)(void))database_exit, METH_FASTCALL, NULL},
    {"_fill_columns", catadump_py_fill_columns, METH_VARARGS,
     "_fill_columns(wanted, part=0, parts=1) -> dict: the entries not yet read as columns "
     "(catadump.read_frame's);\n"
     "of a database split into `parts` by the entries' index, only those of `part`."},
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef database_getset[] = {
    {"version", database_version, NULL, "the database's version, '1.7.20' say; None until known", NULL},
    {"header_line", database_header_line, NULL, "the header line the list has for the database", NULL},
    {"console", database_console, NULL, "the console lines the conversion printed, once it ended", NULL},
    {"read_error", database_flag, NULL, "True when a read failed (once the entries ended)", (void*)0},
    {"corrupt", database_flag, NULL, "True when the database is corrupt (once the entries ended)", (void*)1},
    {"recognised", database_flag, NULL, "True when the database was recognised (once the entries ended)",
     (void*)2},
    {"closed", database_flag, NULL, "True once closed", (void*)3},
    {"provenance", database_provenance, NULL,
     "Where the entries came from, once they are all read (ValueError before), as a dict with the keys\n"
     "and values of a line of the program's --summary for the same source in the collection form (-o):\n"
     "path (the source's path, None for other sources), size, sha256 and mtime (with\n"
     "open(..., provenance=True); else 0, None and None), version, header, rows, read_error, corrupt,\n"
     "fatal, status, console and dates_out_of_range. A read that failed leaves sha256 None.",
     NULL},
    {"_source", database_source, database_set_source, "what the entries carry as their source", NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

/* The slots hold functions as void*, as the Entry type's do (see entry.c). */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
static PyType_Slot database_slots[] = {
    {Py_tp_dealloc, (void*)database_dealloc},
    {Py_tp_finalize, (void*)database_finalize},
    {Py_tp_traverse, (void*)database_traverse},
    {Py_tp_clear, (void*)database_clear},
    {Py_tp_repr, (void*)database_repr},
    {Py_tp_iter, (void*)database_iter},
    {Py_tp_iternext, (void*)database_next},
    {Py_tp_methods, database_methods},
    {Py_tp_getset, database_getset},
    {Py_tp_doc, (void*)"An open database: iterate it for its entries; close it, or use it in a with block."},
    {0, NULL},
};
#pragma GCC diagnostic pop

PyType_Spec catadump_py_database_spec = {
    "catadump.Database",
    sizeof(Database),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    database_slots,
};

Database* catadump_py_database_new(module_state* state) {
    Database* self = PyObject_GC_New(Database, state->database_type);
    if (self == NULL) return NULL;
    self->reader = NULL;
    self->entry_type = state->entry_type;
    Py_INCREF(self->entry_type);
    self->error = state->error;
    Py_INCREF(self->error);
    self->readinto = NULL;
    self->read = NULL;
    self->fileno = NULL;
    self->wait_fd = -2;
    self->chunk = NULL;
    self->reading_thread = 0;
    self->closing = 0;
    self->has_view = 0;
    self->position = 0;
    self->pending = NULL;
    self->busy = 0;
    self->ended = 0;
    self->on_caller = 0;
    self->closed = 0;
    self->version = 0;
    self->header_line = PyUnicode_FromStringAndSize("", 0);
    self->console = self->header_line;
    Py_XINCREF(self->console);
    self->read_error = self->corrupt = self->recognised = 0;
    self->path = NULL;
    self->provenance = NULL;
    self->source = NULL;
    PyObject_GC_Track((PyObject*)self);
    if (self->header_line == NULL) {
        Py_DECREF(self);
        return NULL;
    }
    return self;
}
