#include "python/errors.h"

#include <cstdio>

#include "python/py_ref.h"

namespace zez::py {

PyObject* raise_text(PyObject* type, const std::string& text) {
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return nullptr;
  // A str is never unpacked into several arguments, so args == (text,).
  PyErr_SetObject(type, message.get());
  return nullptr;
}

namespace {

PyObject* raise_engine_text(EngineCall call, const std::string& text) {
  return raise_text(call == EngineCall::Get ? PyExc_KeyError : PyExc_RuntimeError, text);
}

}  // namespace

PyObject* raise_engine_error(EngineCall call, const StorageError& error) {
  return raise_engine_text(call, error.display());
}

PyObject* raise_engine_error(EngineCall call, const ResolveError& error) {
  return raise_engine_text(call, error.display());
}

PyObject* type_name_of(PyObject* obj, const char* attribute) {
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), attribute);
}

PyObject* raise_cannot_convert(PyObject* obj, const char* target, const char* arg) {
  PyRef qualname = PyRef::steal(type_name_of(obj, "__qualname__"));
  if (!qualname) return nullptr;
  const std::string prefix = arg != nullptr ? "argument '" + std::string(arg) + "': " : "";
  PyErr_Format(PyExc_TypeError, "%s'%U' object cannot be converted to '%s'", prefix.c_str(),
               qualname.get(), target);
  return nullptr;
}

PyObject* internal_fault_type() {
  // Kept for the life of the process, like the module's own types.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "_zezavezud.InternalFault",
        "An unexpected failure inside _zezavezud (for example exhausted memory or a broken "
        "invariant). It derives from BaseException so that ordinary `except Exception` "
        "handlers do not swallow it; a Database whose lock was held when it happened refuses "
        "every later call.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raise_internal_fault(const std::string& description) {
  std::fprintf(stderr, "_zezavezud: internal fault: %s\n", description.c_str());
  std::fflush(stderr);
  PyObject* type = internal_fault_type();
  if (type == nullptr) return nullptr;  // the failure to make it is raised instead
  return raise_text(type, description);
}

PyObject* raise_current_as_internal_fault() noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      return raise_internal_fault("out of memory (std::bad_alloc)");
    } catch (const std::exception& e) {
      return raise_internal_fault(std::string("unexpected C++ exception: ") + e.what());
    } catch (...) {
      return raise_internal_fault("unexpected C++ exception of unknown type");
    }
  } catch (...) {
    // Not even the description could be built: memory is gone.
    PyErr_NoMemory();
    return nullptr;
  }
}

}  // namespace zez::py
