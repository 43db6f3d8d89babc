#include "python/heap_type.h"

#include "python/py_ref.h"

namespace zez::py {

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
  PyRef qualname =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
  if (!qualname) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", qualname.get());
  return nullptr;
}

PyObject* make_heap_type(PyType_Spec* spec) {
  PyRef warnings = PyRef::steal(PyImport_ImportModule("warnings"));
  if (!warnings) return nullptr;
  PyRef guard = PyRef::steal(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
  if (!guard) return nullptr;
  PyRef entered = PyRef::steal(PyObject_CallMethod(guard.get(), "__enter__", nullptr));
  if (!entered) return nullptr;
  PyRef filtered = PyRef::steal(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore",
                                                    PyExc_DeprecationWarning));
  PyRef type = filtered ? PyRef::steal(PyType_FromSpec(spec)) : PyRef();
  // Leave the filters as they were, keeping an error raised above.
  PyObject *error_type, *error_value, *error_traceback;
  PyErr_Fetch(&error_type, &error_value, &error_traceback);
  PyRef exited =
      PyRef::steal(PyObject_CallMethod(guard.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  if (error_type != nullptr) {
    PyErr_Restore(error_type, error_value, error_traceback);
    return nullptr;
  }
  if (!exited || !type) return nullptr;
  PyRef module_name = PyRef::steal(PyUnicode_FromString("_zezavezud"));
  if (!module_name || PyObject_SetAttrString(type.get(), "__module__", module_name.get()) < 0) {
    return nullptr;
  }
  return type.release();
}

PyType_Slot* find_slot(PyType_Slot* slots, int id) {
  for (PyType_Slot* slot = slots; slot->slot != 0; ++slot) {
    if (slot->slot == id) return slot;
  }
  return nullptr;
}

void free_heap_object(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

}  // namespace zez::py
