// The value classes Link and Tombstone: heap types made once per process
// from PyType_Slot tables, not subclassable, without instance dict or weak
// references, compared by identity.
#pragma once

#include <Python.h>

#include "codec/value.h"

namespace zez::py {

// The types, made on first need and kept for the life of the process.
// nullptr with an exception set when one cannot be made.
PyObject* tombstone_type();
PyObject* link_type();

bool is_tombstone_type(PyTypeObject* type);
bool is_link_type(PyTypeObject* type);

// A new Tombstone instance (never the module's TOMBSTONE object).
PyObject* new_tombstone();
// A new Link taking over `data`.
PyObject* new_link(LinkData&& data);

// The data of a Link instance, and the container levels it spans (the link
// itself and the nesting inside its `local`).
const LinkData& link_data(PyObject* link);
int link_levels(PyObject* link);

}  // namespace zez::py
