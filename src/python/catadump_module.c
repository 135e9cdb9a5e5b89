/* The Python module catadump: the entries of a Quillseek index database through libcatadump.
 *
 *     with catadump.open(source) as db:
 *         for entry in db: ...
 *
 * The source is a path (str, bytes or os.PathLike), a file descriptor (int), a binary file object
 * (readinto or read) or a buffer holding the database itself (data=..., or a memoryview or bytearray). The
 * conversion runs on the reader's own thread; every call that may wait for it runs without the GIL, in
 * short slices so that signals are seen, and a file object is read on that thread with the GIL taken for
 * the call. Module-wide objects (the two types, the exception, the datetime API) live in the module's
 * state. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <poll.h>
#endif

#include "catadump.h"

typedef struct {
    PyTypeObject* database_type;
    PyTypeObject* entry_type;
    PyObject* error;
    PyObject* datetime_module; /* keeps the datetime API below alive */
    PyDateTime_CAPI* datetime;
} module_state;

static module_state* state_of_type(PyTypeObject* type) { return (module_state*)PyType_GetModuleState(type); }

/* A kept exception: the one a file object's read raised on the reader's thread, raised again for the
 * caller once the entries end or the database is closed. */
static PyObject* take_raised_exception(void) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != NULL && traceback != NULL) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

static void raise_kept_exception(PyObject* value) { /* steals `value` */
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value);
#else
    PyObject* type = (PyObject*)Py_TYPE(value);
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

static int interpreter_finalizing(void) {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

/* ---- Entry ------------------------------------------------------------------------------------------ */

typedef struct {
    PyObject_HEAD
    PyObject* path_bytes;
    PyObject* path;       /* decoded on first use */
    PyObject* name_bytes; /* NULL until used while the name is the tail of the path */
    PyObject* name;       /* decoded on first use */
    Py_ssize_t name_length;
    uint64_t size;
    uint64_t created;
    uint64_t modified;
    uint64_t accessed;
    uint32_t folder;
    uint32_t parent;
    uint32_t attributes;
    char is_folder;
    char has_values;
} Entry;

static PyObject* entry_new(PyTypeObject* type, const catadump_entry* from) {
    Entry* self = PyObject_New(Entry, type);
    if (self == NULL) return NULL;
    self->path = NULL;
    self->name = NULL;
    self->name_bytes = NULL;
    self->path_bytes = PyBytes_FromStringAndSize(from->path, (Py_ssize_t)from->path_length);
    if (self->path_bytes == NULL) {
        Py_DECREF(self);
        return NULL;
    }
    self->name_length = (Py_ssize_t)from->name_length;
    /* The name is nearly always the end of the path; then only the path's bytes are copied. */
    if (from->name_length > from->path_length ||
        memcmp(from->path + from->path_length - from->name_length, from->name, from->name_length) != 0) {
        self->name_bytes = PyBytes_FromStringAndSize(from->name, (Py_ssize_t)from->name_length);
        if (self->name_bytes == NULL) {
            Py_DECREF(self);
            return NULL;
        }
    }
    self->is_folder = from->is_folder != 0;
    self->has_values = from->has_values != 0;
    self->folder = from->folder;
    self->parent = from->parent;
    self->size = from->size;
    self->created = from->created;
    self->modified = from->modified;
    self->accessed = from->accessed;
    self->attributes = from->attributes;
    return (PyObject*)self;
}

static void entry_dealloc(PyObject* object) {
    Entry* self = (Entry*)object;
    PyTypeObject* type = Py_TYPE(object);
    Py_XDECREF(self->path_bytes);
    Py_XDECREF(self->path);
    Py_XDECREF(self->name_bytes);
    Py_XDECREF(self->name);
    PyObject_Free(object);
    Py_DECREF(type);
}

static PyObject* decode_path_bytes(PyObject* bytes) {
    return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes), "surrogateescape");
}

static PyObject* entry_path_bytes(PyObject* object, void* closure) {
    (void)closure;
    Entry* self = (Entry*)object;
    Py_INCREF(self->path_bytes);
    return self->path_bytes;
}

static PyObject* entry_path(PyObject* object, void* closure) {
    (void)closure;
    Entry* self = (Entry*)object;
    if (self->path == NULL && (self->path = decode_path_bytes(self->path_bytes)) == NULL) return NULL;
    Py_INCREF(self->path);
    return self->path;
}

static PyObject* entry_name_bytes(PyObject* object, void* closure) {
    (void)closure;
    Entry* self = (Entry*)object;
    if (self->name_bytes == NULL) {
        Py_ssize_t path_length = PyBytes_GET_SIZE(self->path_bytes);
        self->name_bytes = PyBytes_FromStringAndSize(PyBytes_AS_STRING(self->path_bytes) + path_length -
                                                         self->name_length,
                                                     self->name_length);
        if (self->name_bytes == NULL) return NULL;
    }
    Py_INCREF(self->name_bytes);
    return self->name_bytes;
}

static PyObject* entry_name(PyObject* object, void* closure) {
    Entry* self = (Entry*)object;
    if (self->name == NULL) {
        PyObject* bytes = entry_name_bytes(object, closure);
        if (bytes == NULL) return NULL;
        self->name = decode_path_bytes(bytes);
        Py_DECREF(bytes);
        if (self->name == NULL) return NULL;
    }
    Py_INCREF(self->name);
    return self->name;
}

static PyObject* entry_is_folder(PyObject* object, void* closure) {
    (void)closure;
    return PyBool_FromLong(((Entry*)object)->is_folder);
}

static PyObject* folder_index(uint32_t index) {
    if (index == CATADUMP_NO_FOLDER) Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(index);
}

static PyObject* entry_folder(PyObject* object, void* closure) {
    (void)closure;
    return folder_index(((Entry*)object)->folder);
}

static PyObject* entry_parent(PyObject* object, void* closure) {
    (void)closure;
    return folder_index(((Entry*)object)->parent);
}

static PyObject* entry_attributes(PyObject* object, void* closure) {
    (void)closure;
    return PyLong_FromUnsignedLong(((Entry*)object)->attributes);
}

static PyObject* entry_size(PyObject* object, void* closure) {
    (void)closure;
    Entry* self = (Entry*)object;
    if (!self->has_values) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(self->size);
}

/* The closure of the date getters says which of the three dates. */
static uint64_t entry_file_time(Entry* self, void* closure) {
    switch ((intptr_t)closure) {
    case 0: return self->created;
    case 1: return self->modified;
    default: return self->accessed;
    }
}

static PyObject* entry_filetime(PyObject* object, void* closure) {
    Entry* self = (Entry*)object;
    if (!self->has_values) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(entry_file_time(self, closure));
}

/* A Windows file time (100 ns since 1601-01-01 UTC) as an aware UTC datetime, to the microsecond. */
static PyObject* datetime_from_file_time(PyDateTime_CAPI* api, uint64_t time) {
    uint64_t microseconds = time / 10;
    uint64_t seconds = microseconds / 1000000;
    /* Days counted from 0000-03-01, so that the leap day ends the year (1601-01-01 is day 584694). */
    int64_t days = (int64_t)(seconds / 86400) + 584694;
    int64_t era = days / 146097;
    int64_t of_era = days - era * 146097;
    int64_t year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
    int64_t day_of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    int64_t month_index = (5 * day_of_year + 2) / 153; /* 0 is March */
    int day = (int)(day_of_year - (153 * month_index + 2) / 5 + 1);
    int month = (int)(month_index < 10 ? month_index + 3 : month_index - 9);
    int64_t year = year_of_era + era * 400 + (month <= 2);
    if (year > 9999) {
        PyErr_Format(PyExc_OverflowError, "file time %llu is past the year 9999", (unsigned long long)time);
        return NULL;
    }
    int of_day = (int)(seconds % 86400);
    return api->DateTime_FromDateAndTime((int)year, month, day, of_day / 3600, of_day / 60 % 60, of_day % 60,
                                         (int)(microseconds % 1000000), api->TimeZone_UTC, api->DateTimeType);
}

static PyObject* entry_datetime(PyObject* object, void* closure) {
    Entry* self = (Entry*)object;
    uint64_t time = self->has_values ? entry_file_time(self, closure) : 0;
    if (time == 0) Py_RETURN_NONE;
    return datetime_from_file_time(state_of_type(Py_TYPE(object))->datetime, time);
}

static PyObject* entry_repr(PyObject* object) {
    Entry* self = (Entry*)object;
    PyObject* path = entry_path(object, NULL);
    if (path == NULL) return NULL;
    PyObject* repr;
    if (self->has_values) {
        repr = PyUnicode_FromFormat("<catadump.Entry %s %R size=%llu attributes=0x%x>",
                                    self->is_folder ? "folder" : "file", path, (unsigned long long)self->size,
                                    (unsigned)self->attributes);
    } else {
        repr = PyUnicode_FromFormat("<catadump.Entry %s %R attributes=0x%x>", self->is_folder ? "folder" : "file",
                                    path, (unsigned)self->attributes);
    }
    Py_DECREF(path);
    return repr;
}

static PyGetSetDef entry_getset[] = {
    {"path", entry_path, NULL, "the full path, decoded as UTF-8 with errors='surrogateescape'", NULL},
    {"path_bytes", entry_path_bytes, NULL, "the full path's bytes, as the list has them", NULL},
    {"name", entry_name, NULL, "the entry's own name, decoded as the path is", NULL},
    {"name_bytes", entry_name_bytes, NULL, "the entry's own name's bytes", NULL},
    {"is_folder", entry_is_folder, NULL, "True for a folder, False for a file", NULL},
    {"folder", entry_folder, NULL, "a folder's index among the database's folders; None for a file", NULL},
    {"parent", entry_parent, NULL, "the index of the folder the entry is in; None at the top", NULL},
    {"size", entry_size, NULL, "the size in bytes; None in versions without values", NULL},
    {"created", entry_datetime, NULL, "creation time (UTC datetime); None when not set", (void*)0},
    {"modified", entry_datetime, NULL, "modification time (UTC datetime); None when not set", (void*)1},
    {"accessed", entry_datetime, NULL, "access time (UTC datetime); None when not set", (void*)2},
    {"created_filetime", entry_filetime, NULL, "creation time as a Windows file time", (void*)0},
    {"modified_filetime", entry_filetime, NULL, "modification time as a Windows file time", (void*)1},
    {"accessed_filetime", entry_filetime, NULL, "access time as a Windows file time", (void*)2},
    {"attributes", entry_attributes, NULL, "the attribute bits", NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

/* The slots hold functions as void*, which ISO C does not define but every platform Python runs on does. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
static PyType_Slot entry_slots[] = {
    {Py_tp_dealloc, (void*)entry_dealloc},
    {Py_tp_repr, (void*)entry_repr},
    {Py_tp_getset, entry_getset},
    {Py_tp_doc, (void*)"A folder or file of the database, as the list has it."},
    {0, NULL},
};
#pragma GCC diagnostic pop


static PyType_Spec entry_shape = {
    "catadump.Entry", sizeof(Entry), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, entry_slots,
};

/* ---- Database --------------------------------------------------------------------------------------- */

typedef struct {
    PyObject_HEAD
    catadump_reader* reader;
    PyTypeObject* entry_type;
    PyObject* error;
    /* A file object's read methods (readinto preferred), or a buffer read from without the GIL. */
    PyObject* readinto;
    PyObject* read;
    PyObject* fileno;       /* the file object's, if it has one: waited for when it has no data ready */
    int wait_fd;            /* what fileno gave: -2 not asked yet, -1 none */
    PyObject* chunk;        /* the bytearray readinto fills: Python's own memory, whatever keeps a view */
    unsigned long reading_thread; /* the thread in a read of the file object, 0 when none is */
    int closing;            /* the reader is being closed: a read waiting for data gives up */
    Py_buffer view;
    int has_view;
    size_t position;
    PyObject* pending; /* the exception a read raised, not yet raised again */
    int busy;          /* a call runs without the GIL; no other thread may use the reader meanwhile */
    int ended;
    int closed;
    /* The report, kept when the reader is closed. */
    uint32_t version;
    PyObject* header_line;
    PyObject* console;
    int read_error;
    int corrupt;
    int recognised;
} Database;

static long long read_buffer(void* context, void* buffer, size_t size) {
    Database* self = (Database*)context;
    size_t left = (size_t)self->view.len - self->position;
    size_t count = size < left ? size : left;
    memcpy(buffer, (const char*)self->view.buf + self->position, count);
    self->position += count;
    return (long long)count;
}

/* The file object has no data ready (its read gave None): waits a slice for it, without the GIL, on its
 * descriptor when it has one. -1 (no exception) once the reader is being closed. */
static int wait_for_file_object(Database* self) {
    if (self->wait_fd == -2) {
        self->wait_fd = -1;
        PyObject* got = self->fileno != NULL ? PyObject_CallNoArgs(self->fileno) : NULL;
        if (got != NULL) {
            long fd = PyLong_AsLong(got);
            if (fd >= 0 && fd <= INT32_MAX) self->wait_fd = (int)fd;
            Py_DECREF(got);
        }
        PyErr_Clear(); /* no descriptor: a file object of memory, say, is asked again after a pause */
    }
    int fd = self->wait_fd;
    Py_BEGIN_ALLOW_THREADS
#if defined(_WIN32)
    (void)fd;
    Sleep(5);
#else
    if (fd >= 0) {
        struct pollfd watched = {fd, POLLIN, 0};
        poll(&watched, 1, 20);
    } else {
        poll(NULL, 0, 5);
    }
#endif
    Py_END_ALLOW_THREADS
    return self->closing ? -1 : 0;
}

/* The count a read method returned: from a readinto, an int in 0..size; -2 for None (no data ready). */
static long long read_count(PyObject* got, const char* method, size_t size) {
    if (got == Py_None) return -2;
    Py_ssize_t count = PyLong_AsSsize_t(got);
    if (count == -1 && PyErr_Occurred()) return -1;
    if (count < 0 || (size_t)count > size) {
        PyErr_Format(PyExc_ValueError, "%s returned %zd for a buffer of %zu bytes", method, count, size);
        return -1;
    }
    return count;
}

/* One call of readinto: it fills a bytearray of Python's own, copied out after, so that a view of it that
 * the file object keeps never points into the reader's memory (a memoryview released after the call would
 * not do: views made from it share its memory and outlive the release). -2 when the file had no data
 * ready. */
static long long call_readinto(Database* self, PyObject* readinto, void* buffer, size_t size) {
    if (self->chunk == NULL || (size_t)PyByteArray_GET_SIZE(self->chunk) != size) {
        Py_CLEAR(self->chunk);
        self->chunk = PyByteArray_FromStringAndSize(NULL, (Py_ssize_t)size);
        if (self->chunk == NULL) return -1;
    }
    PyObject* chunk = Py_NewRef(self->chunk);
    PyObject* got = PyObject_CallOneArg(readinto, chunk);
    long long count = got != NULL ? read_count(got, "readinto", size) : -1;
    Py_XDECREF(got);
    if (count > PyByteArray_GET_SIZE(chunk)) { /* the file object shrank the buffer it was given */
        PyErr_Format(PyExc_ValueError, "readinto returned %lld, past the end of its buffer", count);
        count = -1;
    }
    if (count > 0) memcpy(buffer, PyByteArray_AS_STRING(chunk), (size_t)count);
    /* Kept past the call (itself or through a view, which holds it too), it keeps what this read gave: the
     * next read fills a new one. Ours are the two references of self->chunk and `chunk`. */
    if (Py_REFCNT(chunk) > 2) Py_CLEAR(self->chunk);
    Py_DECREF(chunk);
    return count;
}

static long long call_read(PyObject* read, void* buffer, size_t size) {
    PyObject* got = PyObject_CallFunction(read, "n", (Py_ssize_t)size);
    if (got == NULL) return -1;
    if (got == Py_None) {
        Py_DECREF(got);
        return -2;
    }
    Py_buffer data;
    if (PyObject_GetBuffer(got, &data, PyBUF_SIMPLE) != 0) {
        Py_DECREF(got);
        return -1;
    }
    long long result = -1;
    if ((size_t)data.len > size) {
        PyErr_Format(PyExc_ValueError, "read(%zu) returned %zd bytes", size, data.len);
    } else {
        memcpy(buffer, data.buf, (size_t)data.len);
        result = data.len;
    }
    PyBuffer_Release(&data);
    Py_DECREF(got);
    return result;
}

/* Reads through the file object, waiting while it has no data ready (a non-blocking pipe), as a file
 * descriptor is waited for. The methods are held for the call: the file object may drop the database. */
static long long file_object_read(Database* self, void* buffer, size_t size) {
    PyObject* readinto = Py_XNewRef(self->readinto);
    PyObject* read = Py_XNewRef(self->read);
    long long result = -1;
    for (;;) {
        result = readinto != NULL ? call_readinto(self, readinto, buffer, size) : call_read(read, buffer, size);
        if (result != -2) break;
        if (wait_for_file_object(self) != 0) {
            result = -1;
            break;
        }
    }
    Py_XDECREF(readinto);
    Py_XDECREF(read);
    return result;
}

/* Runs on the reader's thread. A failure keeps the exception for the caller and ends the reading as a
 * read error. The database is held for the call: the file object may drop the last other reference to it,
 * and then the database goes at the end of this call, closed as from any callback (see catadump_close). */
static long long read_file_object(void* context, void* buffer, size_t size) {
    Database* self = (Database*)context;
    if (interpreter_finalizing()) return -1;
    if (size > (size_t)PY_SSIZE_T_MAX) size = (size_t)PY_SSIZE_T_MAX;
    PyGILState_STATE gil = PyGILState_Ensure();
    Py_INCREF(self);
    long long result = -1;
    if (self->pending == NULL && (self->readinto != NULL || self->read != NULL)) {
        self->reading_thread = PyThread_get_thread_ident();
        result = file_object_read(self, buffer, size);
        self->reading_thread = 0;
        if (result < 0 && PyErr_Occurred()) self->pending = take_raised_exception();
        PyErr_Clear();
    }
    Py_DECREF(self); /* nothing of the database is used after this */
    PyGILState_Release(gil);
    return result;
}

static PyObject* decoded(const char* text, size_t length) {
    return PyUnicode_DecodeUTF8(text, (Py_ssize_t)length, "surrogateescape");
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

/* Closes the reader and keeps its report. */
static int database_close_reader(Database* self) {
    if (self->reader == NULL) return 0;
    catadump_reader* reader = self->reader;
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

static PyObject* database_next(PyObject* object) {
    Database* self = (Database*)object;
    if (database_check_open(self) != 0 || database_in_use(self)) return NULL;
    if (self->ended) return NULL;
    catadump_entry entry;
    int status;
    /* In slices, so that a signal (Ctrl-C) is raised while the source is slow to give anything. */
    self->busy = 1;
    for (;;) {
        Py_BEGIN_ALLOW_THREADS
        status = catadump_next_timeout(self->reader, &entry, 20);
        Py_END_ALLOW_THREADS
        if (status != CATADUMP_WAITING) break;
        if (PyErr_CheckSignals() != 0) {
            self->busy = 0;
            return NULL;
        }
    }
    self->busy = 0;
    if (status == 1) return entry_new(self->entry_type, &entry);
    self->ended = 1;
    if (self->pending != NULL) return database_raise_pending(self);
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
    }
    return NULL;
}

static PyObject* database_version(PyObject* object, void* closure) {
    (void)closure;
    Database* self = (Database*)object;
    uint32_t word = self->reader != NULL ? catadump_version(self->reader) : self->version;
    if (word == 0) Py_RETURN_NONE;
    return PyUnicode_FromFormat("%u.%u.%u", (unsigned)(word >> 24), (unsigned)(word >> 16 & 0xFF),
                                (unsigned)(word & 0xFFFF));
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
    case 0: return PyBool_FromLong(reader != NULL ? catadump_read_error(reader) : self->read_error);
    case 1: return PyBool_FromLong(reader != NULL ? catadump_corrupt(reader) : self->corrupt);
    case 2: return PyBool_FromLong(reader != NULL ? catadump_recognised(reader) : self->recognised);
    default: return PyBool_FromLong(reader == NULL);
    }
}

static PyObject* database_repr(PyObject* object) {
    Database* self = (Database*)object;
    PyObject* version = database_version(object, NULL);
    if (version == NULL) return NULL;
    PyObject* repr = PyUnicode_FromFormat("<catadump.Database version %S, %s>", version,
                                          self->reader == NULL ? "closed" : self->ended ? "ended" : "open");
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
    return 0;
}

static void database_finalize(PyObject* object) {
    Database* self = (Database*)object;
    if (self->reader == NULL) return;
    PyObject* raised = take_raised_exception();
    if (database_close_reader(self) != 0) PyErr_WriteUnraisable(object);
    if (raised != NULL) raise_kept_exception(raised);
}

static void database_dealloc(PyObject* object) {
    Database* self = (Database*)object;
    PyTypeObject* type = Py_TYPE(object);
    if (PyObject_CallFinalizerFromDealloc(object) < 0) return; /* brought back to life */
    PyObject_GC_UnTrack(object);
    if (self->reader != NULL) { /* the report could not be kept; close all the same */
        close_c_reader(self, self->reader);
        self->reader = NULL;
    }
    if (self->has_view) PyBuffer_Release(&self->view);
    database_clear(object);
    Py_XDECREF(self->entry_type);
    Py_XDECREF(self->error);
    Py_XDECREF(self->header_line);
    Py_XDECREF(self->console);
    PyObject_GC_Del(object);
    Py_DECREF(type);
}

static PyMethodDef database_methods[] = {
    {"close", database_close, METH_NOARGS, "Stops the conversion and frees the reader; harmless when closed."},
    {"__enter__", database_enter, METH_NOARGS, NULL},
    {"__exit__", (PyCFunction)(void (*)(void))database_exit, METH_FASTCALL, NULL},
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
    {NULL, NULL, NULL, NULL, NULL},
};

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


static PyType_Spec database_shape = {
    "catadump.Database", sizeof(Database), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, database_slots,
};

/* ---- open ------------------------------------------------------------------------------------------- */

static int open_path(Database* self, PyObject* source, const catadump_options* options) {
    PyObject* encoded = NULL;
    if (!PyUnicode_FSConverter(source, &encoded)) return -1;
    const char* path = PyBytes_AS_STRING(encoded);
    int status, error;
    Py_BEGIN_ALLOW_THREADS
    errno = 0;
    status = catadump_open_path(path, options, &self->reader);
    error = errno;
    if (status != 0 && error == 0) {
        struct stat info;
        error = stat(path, &info) == 0 && S_ISDIR(info.st_mode) ? EISDIR : ENOMEM;
    }
    Py_END_ALLOW_THREADS
    Py_DECREF(encoded);
    if (status == 0) return 0;
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, source);
    return -1;
}

/* 1 and the attribute, 0 and NULL when the object has none, -1 on another failure. */
static int optional_attribute(PyObject* object, const char* name, PyObject** attribute) {
    *attribute = PyObject_GetAttrString(object, name);
    if (*attribute != NULL) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

static int open_buffer(Database* self, PyObject* data, const catadump_options* options) {
    if (PyObject_GetBuffer(data, &self->view, PyBUF_SIMPLE) != 0) return -1;
    self->has_view = 1;
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = catadump_open_callbacks(read_buffer, self, options, &self->reader);
    Py_END_ALLOW_THREADS
    if (status == 0) return 0;
    PyErr_NoMemory();
    return -1;
}

static int open_reader(Database* self, PyObject* source, const catadump_options* options) {
    if (PyUnicode_Check(source) || PyBytes_Check(source) || PyObject_HasAttrString(source, "__fspath__")) {
        return open_path(self, source, options);
    }
    int status;
    if (PyLong_Check(source) && !PyBool_Check(source)) {
        long fd = PyLong_AsLong(source);
        if (fd == -1 && PyErr_Occurred()) return -1;
        if (fd < 0 || fd > INT32_MAX) {
            PyErr_Format(PyExc_ValueError, "%ld is not a file descriptor", fd);
            return -1;
        }
        int error;
        Py_BEGIN_ALLOW_THREADS
        errno = 0;
        status = catadump_open_fd((int)fd, options, &self->reader);
        error = errno;
        Py_END_ALLOW_THREADS
        if (status != 0 && error != 0 && error != ENOMEM) { /* out of descriptors, say */
            errno = error;
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
    } else if (PyObject_CheckBuffer(source)) {
        return open_buffer(self, source, options);
    } else {
        if (optional_attribute(source, "readinto", &self->readinto) < 0) return -1;
        if (self->readinto == NULL && optional_attribute(source, "read", &self->read) < 0) return -1;
        if (self->readinto == NULL && self->read == NULL) {
            PyErr_Format(PyExc_TypeError,
                         "catadump.open takes a path, a file descriptor, a binary file object or a buffer "
                         "(data=...), not %.100s",
                         Py_TYPE(source)->tp_name);
            return -1;
        }
        if (optional_attribute(source, "fileno", &self->fileno) < 0) return -1;
        Py_BEGIN_ALLOW_THREADS
        status = catadump_open_callbacks(read_file_object, self, options, &self->reader);
        Py_END_ALLOW_THREADS
    }
    if (status != 0) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

static PyObject* module_open(PyObject* module, PyObject* args, PyObject* keywords) {
    static char* names[] = {"source", "threads", "data", NULL};
    PyObject* source = NULL;
    PyObject* threads_object = NULL;
    PyObject* data = NULL;
    if (!PyArg_ParseTupleAndKeywords(args, keywords, "|OO$O:open", names, &source, &threads_object, &data)) {
        return NULL;
    }
    if ((source == NULL) == (data == NULL)) {
        PyErr_SetString(PyExc_TypeError, "catadump.open takes either a source or data=, the database's bytes");
        return NULL;
    }
    if (data != NULL && !PyObject_CheckBuffer(data)) {
        PyErr_Format(PyExc_TypeError, "data must be a bytes-like object, not %.100s", Py_TYPE(data)->tp_name);
        return NULL;
    }
    catadump_options options = {0, NULL, NULL};
    if (threads_object != NULL) {
        long threads = PyLong_AsLong(threads_object);
        if (threads == -1 && PyErr_Occurred()) return NULL;
        if (threads < 0 || threads > 1024) {
            PyErr_Format(PyExc_ValueError, "threads takes a number from 0 to 1024, not %ld", threads);
            return NULL;
        }
        options.threads = (unsigned)threads;
    }
    module_state* state = (module_state*)PyModule_GetState(module);
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
    self->closed = 0;
    self->version = 0;
    self->header_line = PyUnicode_FromStringAndSize("", 0);
    self->console = self->header_line;
    Py_XINCREF(self->console);
    self->read_error = self->corrupt = self->recognised = 0;
    PyObject_GC_Track((PyObject*)self);
    int opened = self->header_line == NULL ? -1
                 : data != NULL               ? open_buffer(self, data, &options)
                                              : open_reader(self, source, &options);
    if (opened != 0) {
        Py_DECREF(self);
        return NULL;
    }
    return (PyObject*)self;
}

/* ---- the module ------------------------------------------------------------------------------------- */

static PyMethodDef module_methods[] = {
    {"open", (PyCFunction)(void (*)(void))module_open, METH_VARARGS | METH_KEYWORDS,
     "open(source, threads=0) -> Database\nopen(data=buffer, threads=0) -> Database\n\n"
     "source: a path (str, bytes or os.PathLike), a file descriptor (int, still the caller's; a pipe or\n"
     "a non-blocking descriptor is waited for), a binary file object (readinto or read; one that is\n"
     "non-blocking is waited for) or a memoryview or bytearray holding the database. data: the database's\n"
     "bytes, any bytes-like object. threads: the workers that decode a bzip2-wrapped database, 0 one per\n"
     "core, at most 1024."},
    {NULL, NULL, 0, NULL},
};

static int module_traverse(PyObject* module, visitproc visit, void* arg) {
    module_state* state = (module_state*)PyModule_GetState(module);
    if (state == NULL) return 0;
    Py_VISIT(state->database_type);
    Py_VISIT(state->entry_type);
    Py_VISIT(state->error);
    Py_VISIT(state->datetime_module);
    return 0;
}

static int module_clear(PyObject* module) {
    module_state* state = (module_state*)PyModule_GetState(module);
    if (state == NULL) return 0;
    Py_CLEAR(state->database_type);
    Py_CLEAR(state->entry_type);
    Py_CLEAR(state->error);
    Py_CLEAR(state->datetime_module);
    state->datetime = NULL;
    return 0;
}

static void module_free(void* module) { module_clear((PyObject*)module); }

static struct PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "catadump",
    "The folders and files of a Quillseek index database (raw or bzip2-wrapped), one entry at a time.",
    sizeof(module_state),
    module_methods,
    NULL,
    module_traverse,
    module_clear,
    module_free,
};

static int add_type(PyObject* module, PyType_Spec* shape, PyTypeObject** kept) {
    *kept = (PyTypeObject*)PyType_FromModuleAndSpec(module, shape, NULL);
    return *kept != NULL ? PyModule_AddType(module, *kept) : -1;
}

PyMODINIT_FUNC PyInit_catadump(void) {
    PyObject* module = PyModule_Create(&module_definition);
    if (module == NULL) return NULL;
    module_state* state = (module_state*)PyModule_GetState(module);
    state->datetime_module = PyImport_ImportModule("datetime");
    if (state->datetime_module == NULL) goto failed;
    state->datetime = (PyDateTime_CAPI*)PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0);
    if (state->datetime == NULL) goto failed;
    if (add_type(module, &entry_shape, &state->entry_type) != 0) goto failed;
    if (add_type(module, &database_shape, &state->database_type) != 0) goto failed;
    state->error = PyErr_NewExceptionWithDoc("catadump.Error",
                                             "A fatal condition ended the conversion; the message is its line.",
                                             NULL, NULL);
    if (state->error == NULL || PyModule_AddObjectRef(module, "Error", state->error) != 0) goto failed;
    return module;
failed:
    Py_DECREF(module);
    return NULL;
}
