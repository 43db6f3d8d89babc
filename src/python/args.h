// Argument binding and conversion for every callable of the module, with the
// interpreter's usual wording of binding errors (reproduced here because
// PyArg_ParseTupleAndKeywords words some of them differently).
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "python/py_ref.h"

namespace zez::py {

// The parameters of one callable: all positional-or-keyword, the first
// `required` of them without a default.
class Signature {
 public:
  // `full_name` is how messages name the callable, e.g. "Database.get()".
  Signature(const char* full_name, std::initializer_list<const char*> names, size_t required);

  // Binds a call's positional tuple and keyword dict (may be null) to the
  // parameters: out[i] receives a borrowed reference, or nullptr for an
  // omitted optional parameter. `out` has room for every parameter. Checks,
  // in order: too many positional arguments, each keyword (unknown or
  // already given), missing required parameters. Returns false with
  // TypeError set on the first problem.
  bool bind(PyObject* args, PyObject* kwargs, PyObject** out) const;

 private:
  bool raise_too_many(Py_ssize_t given) const;
  bool raise_missing(PyObject* const* out) const;
  // The index of the parameter called `keyword`, or -1.
  Py_ssize_t find(PyObject* keyword) const;

  const char* full_name_;
  std::vector<const char*> names_;
  size_t required_;
  // Interned names, made on first use (the interpreter is up by then).
  mutable std::vector<PyObject*> interned_;
};

// A str argument as UTF-8, viewed in place.
class Utf8Arg {
 public:
  // Fails with TypeError "argument '{arg}': '{type}' object cannot be
  // converted to 'PyString'" (no prefix when arg is null) for a non-str, or
  // with the encoder's UnicodeEncodeError (never prefixed). Returns false with
  // the exception set.
  bool convert(PyObject* obj, const char* arg);
  std::string_view view() const { return view_; }

 private:
  PyRef bytes_;
  std::string_view view_;
};

// Replaces a pending TypeError by a TypeError whose message is
// "argument '{arg}': " followed by the old message, keeping the old
// exception's __cause__; any other pending exception is left as it is.
void prefix_type_error(const char* arg);

}  // namespace zez::py
