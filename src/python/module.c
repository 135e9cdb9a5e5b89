/* The Python module catadump's compiled part, catadump._catadump, which the package catadump (catadump/
 * beside this file) makes public: the entries of a Quillseek index database through libcatadump.
 *
 *     with catadump.open(source) as db:
 *         for entry in db: ...
 *
 * The source is a path (str, bytes or os.PathLike), a file descriptor (int), a binary file object
 * (readinto or read) or a buffer holding the database itself (data=..., or a memoryview or bytearray). The
 * conversion runs on the reader's own thread; every call that may wait for it runs without the GIL, in
 * short slices so that signals are seen, and a file object is read on that thread with the GIL taken for
 * the call. Module-wide objects (the two types, the exception, the datetime API) live in the module's
 * state (declared in catadump_python.h).
 *
 * With provenance=True the reader counts and hashes the database's bytes, and Database.provenance is then
 * what the program's --summary says of the same source.
 *
 * This file holds the module itself: its state, `open`, the private `find_inputs` (the inputs of a
 * collection's operands, as the program takes them) and the exception catadump.Error. The Entry type is
 * in entry.c, the Database type in database.c, the sources and their read callbacks in sources.c. */
#include "catadump_python.h"

#include <errno.h>
#include <string.h>

static PyObject* module_open(PyObject* module, PyObject* args, PyObject* keywords) {
    static char* names[] = {"source", "threads", "data", "provenance", "recover", "_on_caller", NULL};
    PyObject* source = NULL;
    PyObject* threads_object = NULL;
    PyObject* data = NULL;
    int provenance = 0;
    int recover = 0;
    int on_caller = 0; /* the package's own: read by Database._fill_columns on the calling thread */
    if (!PyArg_ParseTupleAndKeywords(args, keywords, "|OO$Oppp:open", names, &source, &threads_object, &data,
                                     &provenance, &recover, &on_caller)) {
        return NULL;
    }
    if ((source == NULL) == (data == NULL)) {
        PyErr_SetString(PyExc_TypeError,
                        "catadump.open takes either a source or data=, the database's bytes");
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
    Database* self = catadump_py_database_new(state);
    if (self == NULL) return NULL;
    unsigned flags = (provenance ? CATADUMP_PROVENANCE : 0) | (recover ? CATADUMP_RECOVER : 0) |
                     (on_caller ? CATADUMP_ON_CALLER : 0);
    self->on_caller = on_caller;
    int opened = data != NULL ? catadump_py_open_buffer(self, data, &options, flags)
                              : catadump_py_open_source(self, source, &options, flags);
    if (opened != 0) {
        Py_DECREF(self);
        return NULL;
    }
    return (PyObject*)self;
}

/* A path as os.fsdecode gives it, from the C API's bytes. */
static PyObject* fs_text(const char* path) { return PyUnicode_DecodeFSDefault(path); }

/* The input as (source, below, in_folder, problem). */
static PyObject* input_tuple(const catadump_input* input) {
    PyObject* source = fs_text(input->source);
    PyObject* below = source != NULL ? fs_text(input->below) : NULL;
    PyObject* problem = NULL;
    if (below != NULL) {
        problem =
            input->problem != NULL
                ? PyUnicode_DecodeUTF8(input->problem, (Py_ssize_t)strlen(input->problem), "surrogateescape")
                : Py_NewRef(Py_None);
    }
    if (problem == NULL) {
        Py_XDECREF(source);
        Py_XDECREF(below);
        return NULL;
    }
    return Py_BuildValue("(NNNN)", source, below, PyBool_FromLong(input->in_folder), problem);
}

/* The found inputs as find_inputs gives them: ([(source, below, in_folder, problem), ...], skipped). */
static PyObject* inputs_result(const catadump_inputs* found) {
    size_t total = catadump_inputs_count(found);
    PyObject* inputs = PyList_New((Py_ssize_t)total);
    for (size_t i = 0; inputs != NULL && i < total; ++i) {
        catadump_input input;
        catadump_input_at(found, i, &input);
        PyObject* item = input_tuple(&input);
        if (item == NULL) {
            Py_CLEAR(inputs);
        } else {
            PyList_SET_ITEM(inputs, (Py_ssize_t)i, item);
        }
    }
    if (inputs == NULL) return NULL;
    return Py_BuildValue("(Nn)", inputs, (Py_ssize_t)catadump_inputs_skipped(found));
}

/* Finds the inputs of the paths without the GIL. */
static PyObject* find_inputs_of(const char* const* paths, size_t count) {
    catadump_inputs* found = NULL;
    int status, error;
    Py_BEGIN_ALLOW_THREADS
    status = catadump_find_inputs(paths, count, &found);
    error = errno;
    Py_END_ALLOW_THREADS
    if (status != 0) {
        errno = error;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    PyObject* result = inputs_result(found);
    catadump_inputs_free(found);
    return result;
}

/* find_inputs(operands): the inputs the program's collection forms take of the operands, each operand
 * converted as os.fsencode does. */
static PyObject* module_find_inputs(PyObject* module, PyObject* operands) {
    (void)module;
    if (PyUnicode_Check(operands) || PyBytes_Check(operands)) { /* one path, not a sequence of them */
        PyErr_SetString(PyExc_TypeError, "find_inputs takes a sequence of paths, not one path");
        return NULL;
    }
    PyObject* sequence = PySequence_Fast(operands, "find_inputs takes a sequence of paths");
    if (sequence == NULL) return NULL;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
    PyObject** encoded = PyMem_Calloc((size_t)count + 1, sizeof *encoded);
    const char** paths = PyMem_Calloc((size_t)count + 1, sizeof *paths);
    PyObject* result = NULL;
    Py_ssize_t converted = 0;
    if (encoded == NULL || paths == NULL) {
        PyErr_NoMemory();
    } else {
        while (converted < count &&
               PyUnicode_FSConverter(PySequence_Fast_GET_ITEM(sequence, converted), &encoded[converted])) {
            paths[converted] = PyBytes_AS_STRING(encoded[converted]);
            ++converted;
        }
        if (converted == count) result = find_inputs_of(paths, (size_t)count);
    }
    for (Py_ssize_t i = 0; i < converted; ++i) Py_DECREF(encoded[i]);
    PyMem_Free(encoded);
    PyMem_Free(paths);
    Py_DECREF(sequence);
    return result;
}

static PyMethodDef module_methods[] = {
    {"open", (PyCFunction)(void (*)(void))module_open, METH_VARARGS | METH_KEYWORDS,
     "open(source, threads=0, provenance=False, recover=False) -> Database\n"
     "open(data=buffer, threads=0, provenance=False, recover=False) -> Database\n\n"
     "source: a path (str, bytes or os.PathLike), a file descriptor (int, still the caller's; a pipe or\n"
     "a non-blocking descriptor is waited for), a binary file object (readinto or read; one that is\n"
     "non-blocking is waited for) or a memoryview or bytearray holding the database. data: the database's\n"
     "bytes, any bytes-like object. threads: the workers that decode a bzip2-wrapped database, 0 one per\n"
     "core, at most 1024. provenance: count and hash (SHA-256) every byte read, the rest too where the\n"
     "conversion stops early, and note a file's modification time, for Database.provenance.\n"
     "recover: go on past damage, as the program's --recover does; Entry.status then says whether each\n"
     "entry is intact, recovered or partial (without it, every entry is intact)."},
    {"find_inputs", module_find_inputs, METH_O,
     "find_inputs(operands) -> ([(source, below, in_folder, problem), ...], skipped)\n\n"
     "The inputs the program's collection forms (-o, --output-dir) take of the operands, in their order:\n"
     "files by name, folders searched in name order without following links to folders, a file inside\n"
     "a folder taken when its content is a database; skipped counts the others. problem is None, or why\n"
     "a folder could not be listed."},
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
    "catadump._catadump",
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

PyMODINIT_FUNC PyInit__catadump(void) {
    PyObject* module = PyModule_Create(&module_definition);
    if (module == NULL) return NULL;
    module_state* state = (module_state*)PyModule_GetState(module);
    state->datetime_module = PyImport_ImportModule("datetime");
    if (state->datetime_module == NULL) goto failed;
    state->datetime = (PyDateTime_CAPI*)PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0);
    if (state->datetime == NULL) goto failed;
    if (add_type(module, &catadump_py_entry_spec, &state->entry_type) != 0) goto failed;
    if (add_type(module, &catadump_py_database_spec, &state->database_type) != 0) goto failed;
    state->error = PyErr_NewExceptionWithDoc(
        "catadump.Error", "A fatal condition ended the conversion; the message is its line.", NULL, NULL);
    if (state->error == NULL || PyModule_AddObjectRef(module, "Error", state->error) != 0) goto failed;
    return module;
failed:
    Py_DECREF(module);
    return NULL;
}
