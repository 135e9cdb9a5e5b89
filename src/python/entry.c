/* The Entry type: one folder or file of the database as the list has it. An Entry copies the path's bytes
 * (and the name's, when the name is not the path's tail) out of the reader, whose entry lasts only until
 * the next one; the str forms and the dates are made when asked for. */
#include "catadump_python.h"

#include <string.h>

static module_state* state_of_type(PyTypeObject* type) { return (module_state*)PyType_GetModuleState(type); }

typedef struct {
    PyObject_HEAD PyObject* path_bytes;
    PyObject* path;       /* decoded on first use */
    PyObject* name_bytes; /* NULL until used while the name is the tail of the path */
    PyObject* name;       /* decoded on first use */
    PyObject* source;     /* the input it came from (catadump.open_many's), or NULL */
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
    char status; /* CATADUMP_INTACT, CATADUMP_RECOVERED or CATADUMP_PARTIAL */
} Entry;

PyObject* catadump_py_entry_new(PyTypeObject* type, const catadump_entry* from, PyObject* source) {
    Entry* self = PyObject_New(Entry, type);
    if (self == NULL) return NULL;
    self->source = source;
    Py_XINCREF(source);
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
    self->status = (char)from->status;
    return (PyObject*)self;
}

static void entry_dealloc(PyObject* object) {
    Entry* self = (Entry*)object;
    PyTypeObject* type = Py_TYPE(object);
    Py_XDECREF(self->path_bytes);
    Py_XDECREF(self->path);
    Py_XDECREF(self->name_bytes);
    Py_XDECREF(self->name);
    Py_XDECREF(self->source);
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
        self->name_bytes = PyBytes_FromStringAndSize(
            PyBytes_AS_STRING(self->path_bytes) + path_length - self->name_length, self->name_length);
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

static PyObject* entry_source(PyObject* object, void* closure) {
    (void)closure;
    Entry* self = (Entry*)object;
    if (self->source == NULL) Py_RETURN_NONE;
    Py_INCREF(self->source);
    return self->source;
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

static PyObject* entry_status(PyObject* object, void* closure) {
    (void)closure;
    switch (((Entry*)object)->status) {
    case CATADUMP_RECOVERED:
        return PyUnicode_FromString("recovered");
    case CATADUMP_PARTIAL:
        return PyUnicode_FromString("partial");
    default:
        return PyUnicode_FromString("intact");
    }
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
    case 0:
        return self->created;
    case 1:
        return self->modified;
    default:
        return self->accessed;
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
        repr = PyUnicode_FromFormat("<catadump.Entry %s %R attributes=0x%x>",
                                    self->is_folder ? "folder" : "file", path, (unsigned)self->attributes);
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
    {"status", entry_status, NULL,
     "'intact', 'recovered' (read whole after a gap that damage left) or 'partial' (a piece of its path\n"
     "lost); always 'intact' for a database opened without recover=True",
     NULL},
    {"source", entry_source, NULL, "the input the entry came from (catadump.open_many); None otherwise",
     NULL},
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

PyType_Spec catadump_py_entry_spec = {
    "catadump.Entry", sizeof(Entry), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, entry_slots,
};
