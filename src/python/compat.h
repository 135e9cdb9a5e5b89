/* What differs between the Python versions the module builds against: keeping an exception to raise it
 * again later, and asking whether the interpreter is shutting down. Each source file that needs them
 * includes this; the functions are static inline, so nothing of them is exported. */
#ifndef CATADUMP_PYTHON_COMPAT_H
#define CATADUMP_PYTHON_COMPAT_H

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

/* A kept exception: the one a file object's read raised on the reader's thread, raised again for the
 * caller once the entries end or the database is closed. */
static inline PyObject* take_raised_exception(void) {
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

static inline void raise_kept_exception(PyObject* value) { /* steals `value` */
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value);
#else
    PyObject* type = (PyObject*)Py_TYPE(value);
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

static inline int interpreter_finalizing(void) {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

#endif
