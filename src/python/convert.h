// Conversion between Python objects and values.
//
// Python -> value accepts, tested in this order: None, Tombstone, Link, bool
// (exact type), int, float, str, bytes, list and dict (subclasses by the
// interpreter's type flags, stored as the base kind); everything else is
// refused. It reads the objects' built-in content directly and never calls
// Python code of the object or its type. Value -> Python makes new objects
// (None, True and False aside).
#pragma once

#include <Python.h>

#include <string_view>

#include "codec/value.h"

namespace zez::py {

// Converts `obj` (borrowed). On failure returns false with the exception set:
// the interpreter's OverflowError for an int outside 64 bits, its
// UnicodeEncodeError for a lone surrogate, OverflowError for a length that
// does not fit 32 bits, TypeError "cannot convert {__name__} to a QuorvelDB
// value" for any other type, TypeError for a non-str dict key, and TypeError
// for nesting deeper than MAX_NESTING_DEPTH (which is also how a list or
// dict that contains itself ends). `out` is unspecified after a failure.
bool py_to_value(PyObject* obj, Value* out);

// The same for an object known to be a dict (or subclass instance). Its
// entries are taken as sitting `depth` container levels below the root.
bool dict_to_map(PyObject* dict, Map* out, int depth = 1);

// A new reference to the object for `v`, or nullptr when the interpreter
// cannot allocate. Consumes `v` (texts and maps are moved, not copied).
PyObject* value_to_py(Value&& v);
PyObject* map_to_dict(Map&& m);
// A new str of UTF-8 text, or nullptr with an exception set.
PyObject* text_to_str(std::string_view text);

// The number of container levels (Array, Map, Link) that `v` spans: 0 for a
// scalar, 1 for a container of scalars.
int nesting_levels(const Value& v);
int nesting_levels(const Map& m);  // levels below a container holding `m`

}  // namespace zez::py
