// How failures leave the module: engine error texts as standard Python
// exceptions, conversion and argument errors as TypeError, and internal
// faults (anything thrown from C++) as a BaseException subclass of our own
// that is never exported.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "codec/errors.h"

namespace zez::py {

// Raises `type` with `text` (UTF-8) as its only argument. Returns nullptr.
PyObject* raise_text(PyObject* type, const std::string& text);

// The engine calls behind the module's functions and methods.
enum class EngineCall { Open, Get, Set, SetMany, Delete, Resolve, Commit, Backlinks };

// Raises an engine failure of `call` with the error's display text: KeyError
// for Get (whatever kept the value from being read), RuntimeError for every
// other call. Returns nullptr.
// Out of line, so that the error path takes no room in the callers.
PyObject* raise_engine_error(EngineCall call, const StorageError& error);
PyObject* raise_engine_error(EngineCall call, const ResolveError& error);

// Raises TypeError "'{type}' object cannot be converted to '{target}'" with
// {type} the __qualname__ of obj's type, preceded by "argument '{arg}': "
// when `arg` is given. Returns nullptr.
PyObject* raise_cannot_convert(PyObject* obj, const char* target, const char* arg = nullptr);

// The __name__ (or `attribute`) of obj's type as a new str, or nullptr with
// an exception set.
PyObject* type_name_of(PyObject* obj, const char* attribute = "__name__");

// The internal-fault class: a direct BaseException subclass made once per
// process. nullptr with an exception set when it cannot be made.
PyObject* internal_fault_type();

// Writes `description` to the process's standard error and raises it as an
// internal fault. Returns nullptr.
PyObject* raise_internal_fault(const std::string& description);

// Raises the C++ exception being handled as an internal fault. Call only
// from a catch block. Returns nullptr.
PyObject* raise_current_as_internal_fault() noexcept;

// Runs `f` (which returns a new reference or nullptr with an exception set);
// anything thrown becomes an internal fault, so no C++ exception ever
// crosses into the interpreter.
template <class F>
PyObject* guarded(F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    return raise_current_as_internal_fault();
  }
}

}  // namespace zez::py
