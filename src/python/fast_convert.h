// Direct conversion between Python objects and encoded values, without a
// Value tree in between: the common cases of set and get take one pass.
//
// Both directions only ever succeed where the canonical route (py_to_value
// then encode_value; decode_value then value_to_py) succeeds with the same
// result. Anything unusual makes them give up, and the caller then runs the
// canonical route, which raises the exact error or does the work. So every
// error a caller sees comes from the canonical route.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "db/link_path.h"

namespace zez::py {

// Appends to `out` exactly the bytes encode_value(py_to_value(obj)) would
// produce (map entries in the dict's order), and to `links` exactly what
// extract_links() lists for that value. Returns false, with no exception
// set and both restored to their old lengths, at the first thing it does
// not handle the canonical way: an int outside 64 bits, a lone surrogate, a
// dict key that is not exactly a str, a type py_to_value refuses, nesting
// deeper than MAX_NESTING_DEPTH, a length that does not fit 32 bits, or any
// failure of the interpreter. Runs no Python code of the object or its type.
bool encode_py_fast(PyObject* obj, std::string& out, std::vector<OutgoingLink>& links);

// A new reference to the object value_to_py would make for the first value
// encoded in data[0, size) (bytes after it are ignored). Returns nullptr for
// anything decode_value would refuse, and may give up on valid input too; an
// exception is then set only when the interpreter ran out of memory.
PyObject* decode_py_fast(const uint8_t* data, size_t size);

}  // namespace zez::py
