/* What the module's source files share: the module's state, the Database object (which the sources read
 * into and the Database type iterates), and the few functions one file gives another. Shared functions
 * carry the prefix catadump_py_; the module is built with hidden visibility, so they stay inside it and
 * only PyInit__catadump is exported. */
#ifndef CATADUMP_PYTHON_H
#define CATADUMP_PYTHON_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

#include <stddef.h>
#include <stdint.h>

#include "catadump.h"

/* Module-wide objects: the two types, the exception and the datetime API. */
typedef struct {
    PyTypeObject* database_type;
    PyTypeObject* entry_type;
    PyObject* error;
    PyObject* datetime_module; /* keeps the datetime API below alive */
    PyDateTime_CAPI* datetime;
} module_state;

typedef struct {
    PyObject_HEAD catadump_reader* reader;
    PyTypeObject* entry_type;
    PyObject* error;
    /* A file object's read methods (readinto preferred), or a buffer read from without the GIL. */
    PyObject* readinto;
    PyObject* read;
    PyObject* fileno; /* the file object's, if it has one: waited for when it has no data ready */
    int wait_fd;      /* what fileno gave: -2 not asked yet, -1 none */
    PyObject* chunk;  /* the bytearray readinto fills: Python's own memory, whatever keeps a view */
    unsigned long reading_thread; /* the thread in a read of the file object, 0 when none is */
    int closing;                  /* the reader is being closed: a read waiting for data gives up */
    Py_buffer view;
    int has_view;
    size_t position;
    PyObject* pending; /* the exception a read raised, not yet raised again */
    int busy;          /* a call runs without the GIL; no other thread may use the reader meanwhile */
    int on_caller;     /* opened with CATADUMP_ON_CALLER: only _fill_columns reads it */
    int ended;
    int closed;
    /* The report, kept when the reader is closed. */
    uint32_t version;
    PyObject* header_line;
    PyObject* console;
    int read_error;
    int corrupt;
    int recognised;
    /* The source's path (str) when it is one, else NULL; the provenance, once the entries ended and the
     * reader is closed. */
    PyObject* path;
    PyObject* provenance;
    PyObject* source; /* what its entries carry as their source (catadump.open_many's), or NULL */
} Database;

/* entry.c: the Entry type, and a new Entry holding a copy of the reader's entry and its source (NULL for
 * none). The entry's status must be set (the library writes it only for a reader that recovers). */
extern PyType_Spec catadump_py_entry_spec;
PyObject* catadump_py_entry_new(PyTypeObject* type, const catadump_entry* from, PyObject* source);

/* database.c: the Database type, and a new Database with no reader yet (NULL and an exception on
 * failure). */
extern PyType_Spec catadump_py_database_spec;
Database* catadump_py_database_new(module_state* state);

/* The next entry of an open database that is not in use (check with catadump_py_check_usable, 0 or -1 and
 * an exception, and set `busy` around the calls): 1 and the entry; 0 at the end; -1 and an exception (the
 * fatal line as catadump.Error, the file object's own, a signal's). The GIL is let go while the conversion
 * is waited for; with `poll_first` only when no entry is ready at once. */
int catadump_py_check_usable(Database* self);
int catadump_py_next_entry(Database* self, catadump_entry* entry, int poll_first);
/* The end of the entries, where the reader gave `status` (0 or -1): marks it ended; 0, or -1 and the
 * exception (the file object's own, or the fatal line as catadump.Error). */
int catadump_py_end_entries(Database* self, int status);

/* frame.c: Database._fill_columns, the columns of catadump.read_frame. */
PyObject* catadump_py_fill_columns(PyObject* database, PyObject* arguments);

/* sources.c: opens the database's reader on a source (a path, a file descriptor, a binary file object or
 * a buffer), or on the buffer given as data=, with the flags of catadump_open_path_with. 0, or -1 and an
 * exception. */
int catadump_py_open_source(Database* self, PyObject* source, const catadump_options* options,
                            unsigned flags);
int catadump_py_open_buffer(Database* self, PyObject* data, const catadump_options* options, unsigned flags);

#endif
