// The module _zezavezud: the classes Tombstone, Link and Database, the
// function open and the object TOMBSTONE, listed in __all__ in that order.
// It is initialised once per process; a second initialisation (an import
// after the module was dropped from sys.modules, or one from a
// subinterpreter) fails with ImportError.
#include <Python.h>

#include "python/database_type.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/value_types.h"

namespace zez::py {
namespace {

// m_size 0 rather than -1: with -1 the interpreter would copy the first
// module's dict on a re-import instead of calling the initialisation
// function, and the second initialisation could not be refused.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_zezavezud", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyMethodDef open_def = {"open",
                        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_database)),
                        METH_VARARGS | METH_KEYWORDS, "open(path)\n--\n\n"};

// The module made by the one successful initialisation, kept for the life
// of the process.
PyObject* the_module = nullptr;

// Appends `name` to __all__ (made at the first addition), then sets the
// attribute. Takes over `value` (a new reference or nullptr with an
// exception set) in every case.
bool add_attribute(PyObject* module, const char* name, PyObject* value) {
  PyRef held = PyRef::steal(value);
  if (!held) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, held.get()) == 0;
}

PyObject* new_ref(PyObject* o) {
  Py_XINCREF(o);
  return o;
}

PyObject* init_module() {
  if (the_module != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "_zezavezud may only be initialised once per interpreter process");
    return nullptr;
  }
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  PyObject* m = module.get();
  // The internal-fault class is made now, so that a fault never has to.
  if (internal_fault_type() == nullptr) return nullptr;
  if (!add_attribute(m, "Tombstone", new_ref(tombstone_type())) ||
      !add_attribute(m, "Link", new_ref(link_type())) ||
      !add_attribute(m, "Database", new_ref(database_type()))) {
    return nullptr;
  }
  PyRef name = PyRef::steal(PyUnicode_FromString("_zezavezud"));
  if (!name || !add_attribute(m, "open", PyCFunction_NewEx(&open_def, m, name.get())) ||
      !add_attribute(m, "TOMBSTONE", new_tombstone())) {
    return nullptr;
  }
  the_module = new_ref(m);
  return module.release();
}

}  // namespace
}  // namespace zez::py

PyMODINIT_FUNC PyInit__zezavezud(void) {
  return zez::py::guarded([] { return zez::py::init_module(); });
}
