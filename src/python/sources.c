/* The sources a database is read from, and the reader's read callbacks over them. A path and a file
 * descriptor go to libcatadump as they are. A buffer is read from on the reader's own thread without the
 * GIL, the view held until the reader is closed. A binary file object (readinto preferred, else read) is
 * called on the reader's thread with the GIL taken for the call; a file object with no data ready is
 * waited for, on its descriptor when it has one, as a descriptor is. */
#include "catadump_python.h"

#include "compat.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <poll.h>
#endif

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
        (void)
    fd;
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
        result =
            readinto != NULL ? call_readinto(self, readinto, buffer, size) : call_read(read, buffer, size);
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

static int open_path(Database* self, PyObject* source, const catadump_options* options, unsigned flags) {
    PyObject* encoded = NULL;
    if (!PyUnicode_FSConverter(source, &encoded)) return -1;
    /* The path as os.fsdecode gives it, for the provenance. */
    self->path = PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(encoded), PyBytes_GET_SIZE(encoded));
    if (self->path == NULL) {
        Py_DECREF(encoded);
        return -1;
    }
    const char* path = PyBytes_AS_STRING(encoded);
    int status, error;
    Py_BEGIN_ALLOW_THREADS
    errno = 0;
    status = catadump_open_path_with(path, options, flags, &self->reader);
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

int catadump_py_open_buffer(Database* self, PyObject* data, const catadump_options* options, unsigned flags) {
    if (PyObject_GetBuffer(data, &self->view, PyBUF_SIMPLE) != 0) return -1;
    self->has_view = 1;
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = catadump_open_callbacks_with(read_buffer, self, options, flags, &self->reader);
    Py_END_ALLOW_THREADS
    if (status == 0) return 0;
    PyErr_NoMemory();
    return -1;
}

int catadump_py_open_source(Database* self, PyObject* source, const catadump_options* options,
                            unsigned flags) {
    if (PyUnicode_Check(source) || PyBytes_Check(source) || PyObject_HasAttrString(source, "__fspath__")) {
        return open_path(self, source, options, flags);
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
        status = catadump_open_fd_with((int)fd, options, flags, &self->reader);
        error = errno;
        Py_END_ALLOW_THREADS
        if (status != 0 && error != 0 && error != ENOMEM) { /* out of descriptors, say */
            errno = error;
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
    } else if (PyObject_CheckBuffer(source)) {
        return catadump_py_open_buffer(self, source, options, flags);
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
        status = catadump_open_callbacks_with(read_file_object, self, options, flags, &self->reader);
        Py_END_ALLOW_THREADS
    }
    if (status != 0) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}
