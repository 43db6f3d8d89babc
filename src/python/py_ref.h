// An owned reference to a Python object. Write `steal` or `borrow` at every
// call site so the ownership of each reference is visible where it is made.
#pragma once

#include <Python.h>

#include <utility>

namespace zez::py {

class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* o) { return PyRef(o); }  // we were given a ref
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }  // we take one
  PyRef(PyRef&& o) noexcept : obj_(o.release()) {}
  PyRef& operator=(PyRef&& o) noexcept {
    PyObject* old = std::exchange(obj_, o.release());
    Py_XDECREF(old);  // last: a DECREF can run arbitrary Python code
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }  // CPython takes it
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) : obj_(o) {}
  PyObject* obj_ = nullptr;
};

}  // namespace zez::py
