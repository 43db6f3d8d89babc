// What every class of the module has in common as a heap type: how it is
// made from its slot table, refused construction, slot lookup and freeing.
#pragma once

#include <Python.h>

namespace zez::py {

// Makes a heap type from its PyType_Spec (a bare class name) and sets its __module__
// to "_zezavezud". Interpreters since 3.10 warn (DeprecationWarning) about a
// type name without a module part; the warning is silenced for this call
// only, since the module is named by __module__ instead.
PyObject* make_heap_type(PyType_Spec* spec);

// The Py_tp_new of a class without constructor: raises TypeError
// "No constructor defined for {}" with the type's __qualname__.
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// The entry for slot `id` in a table ended by {0, nullptr}; nullptr when
// the table has none.
PyType_Slot* find_slot(PyType_Slot* slots, int id);

// The end of every tp_dealloc here: frees `self` with its type's tp_free and
// drops the reference the instance held on its type.
void free_heap_object(PyObject* self);

}  // namespace zez::py
