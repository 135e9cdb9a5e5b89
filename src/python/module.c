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
 * This file holds the module itself: its state, `open` and the exception catadump.Error. The Entry type is
 * in entry.c, the Database type in database.c, the sources and their read callbacks in sources.c. */
#include "catadump_python.h"

static PyObject* module_open(PyObject* module, PyObject* args, PyObject* keywords) {
    static char* names[] = {"source", "threads", "data", NULL};
    PyObject* source = NULL;
    PyObject* threads_object = NULL;
    PyObject* data = NULL;
    if (!PyArg_ParseTupleAndKeywords(args, keywords, "|OO$O:open", names, &source, &threads_object, &data)) {
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
    int opened = data != NULL ? catadump_py_open_buffer(self, data, &options)
                              : catadump_py_open_source(self, source, &options);
    if (opened != 0) {
        Py_DECREF(self);
        return NULL;
    }
    return (PyObject*)self;
}

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
