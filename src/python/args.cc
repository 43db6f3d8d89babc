#include "python/args.h"

#include <cstdint>
#include <iterator>
#include <string>

#include "python/errors.h"

namespace zez::py {

Signature::Signature(const char* full_name, std::initializer_list<const char*> names,
                     size_t required)
    : full_name_(full_name), names_(names), required_(required) {}

bool Signature::bind(PyObject* args, PyObject* kwargs, PyObject** out) const {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return false;
  const Py_ssize_t count = static_cast<Py_ssize_t>(names_.size());
  if (given > count) return raise_too_many(given);
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < given ? PyTuple_GetItem(args, i) : nullptr;

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* keyword;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &keyword, &value)) {
      const Py_ssize_t index = find(keyword);
      if (index < 0) {
        if (PyErr_Occurred()) return false;
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", full_name_,
                     keyword);
        return false;
      }
      if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", full_name_,
                     names_[static_cast<size_t>(index)]);
        return false;
      }
      out[index] = value;
    }
  }

  for (size_t i = 0; i < required_; ++i) {
    if (out[i] == nullptr) return raise_missing(out);
  }
  return true;
}

bool Signature::raise_too_many(Py_ssize_t given) const {
  const Py_ssize_t count = static_cast<Py_ssize_t>(names_.size());
  const char* was = given == 1 ? "was" : "were";
  if (required_ == names_.size()) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", full_name_,
                 count, given, was);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 full_name_, static_cast<Py_ssize_t>(required_), count, given, was);
  }
  return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list form.
bool Signature::raise_missing(PyObject* const* out) const {
  std::vector<const char*> missing;
  for (size_t i = 0; i < required_; ++i) {
    if (out[i] == nullptr) missing.push_back(names_[i]);
  }
  std::string list;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() == 2) {
        list += " and ";
      } else {
        list += i + 1 == missing.size() ? ", and " : ", ";
      }
    }
    list += '\'';
    list += missing[i];
    list += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", full_name_,
               static_cast<Py_ssize_t>(missing.size()),
               missing.size() == 1 ? "argument" : "arguments", list.c_str());
  return false;
}

Py_ssize_t Signature::find(PyObject* keyword) const {
  if (interned_.empty()) {
    for (const char* name : names_) {
      PyObject* s = PyUnicode_InternFromString(name);
      if (s == nullptr) {
        for (PyObject* made : interned_) Py_DECREF(made);
        interned_.clear();
        return -1;
      }
      interned_.push_back(s);
    }
  }
  // Keywords written in a call are interned, so identity nearly always decides.
  for (size_t i = 0; i < interned_.size(); ++i) {
    if (interned_[i] == keyword) return static_cast<Py_ssize_t>(i);
  }
  if (!PyUnicode_Check(keyword)) return -1;
  for (size_t i = 0; i < interned_.size(); ++i) {
    if (PyUnicode_Compare(interned_[i], keyword) == 0) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

namespace {

// The UTF-8 of recently converted short strs, by identity: a collection's
// name comes again call after call. A slot's references keep its str alive,
// so no other object can have that address, and a str never changes.
struct Utf8Slot {
  PyObject* str = nullptr;
  PyObject* bytes = nullptr;
};
Utf8Slot utf8_slots[16];
constexpr Py_ssize_t MAX_CACHED_UTF8 = 64;

Utf8Slot& utf8_slot(PyObject* str) {
  const auto p = reinterpret_cast<uintptr_t>(str);
  return utf8_slots[((p >> 4) ^ (p >> 9)) % std::size(utf8_slots)];
}

}  // namespace

bool Utf8Arg::convert(PyObject* obj, const char* arg) {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, "PyString", arg);
    return false;
  }
  Utf8Slot& slot = utf8_slot(obj);
  if (slot.str == obj) {
    bytes_ = PyRef::borrow(slot.bytes);
  } else {
    bytes_ = PyRef::steal(PyUnicode_AsUTF8String(obj));
    if (!bytes_) return false;
    if (PyUnicode_CheckExact(obj) && PyBytes_Size(bytes_.get()) <= MAX_CACHED_UTF8) {
      PyObject* old_str = slot.str;
      PyObject* old_bytes = slot.bytes;
      Py_INCREF(obj);
      Py_INCREF(bytes_.get());
      slot = Utf8Slot{obj, bytes_.get()};
      // A str and a bytes object: releasing them runs no Python code.
      Py_XDECREF(old_str);
      Py_XDECREF(old_bytes);
    }
  }
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(bytes_.get(), &data, &size) < 0) return false;
  view_ = std::string_view(data, static_cast<size_t>(size));
  return true;
}

void prefix_type_error(const char* arg) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef old_type = PyRef::steal(type);
  PyRef old = PyRef::steal(value);
  PyRef old_traceback = PyRef::steal(traceback);
  PyRef text = PyRef::steal(PyObject_Str(old.get()));
  if (!text) return;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", arg, text.get()));
  if (!message) return;
  PyRef replacement =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(old.get())) {
    PyException_SetCause(replacement.get(), cause);  // steals cause
  }
  Py_INCREF(PyExc_TypeError);
  PyErr_Restore(PyExc_TypeError, replacement.release(), nullptr);
}

}  // namespace zez::py
