// The Database class and the module function open().
#pragma once

#include <Python.h>

namespace zez::py {

// The type, made on first need and kept for the life of the process.
PyObject* database_type();

// open(path): the module function.
PyObject* open_database(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace zez::py
