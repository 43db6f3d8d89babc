#include "python/convert.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "codec/encoding.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/value_types.h"

namespace zez::py {

namespace {

// The same limit the decoder applies: anything stored must read back.
constexpr int MAX_DEPTH = MAX_NESTING_DEPTH;

bool check_length(std::string_view what, Py_ssize_t size) {
  if (fits_length_field(static_cast<uint64_t>(size))) return true;
  raise_text(PyExc_OverflowError, oversized_message(what, static_cast<uint64_t>(size)));
  return false;
}

bool raise_too_deep() {
  PyErr_Format(PyExc_TypeError,
               "cannot convert a value nested deeper than %d levels of lists, dicts and links "
               "(a list or dict that contains itself never ends)",
               MAX_DEPTH);
  return false;
}

bool raise_unsupported(PyObject* obj) {
  PyRef name = PyRef::steal(type_name_of(obj));
  if (!name) return false;
  PyErr_Format(PyExc_TypeError, "cannot convert %U to a QuorvelDB value", name.get());
  return false;
}

// The UTF-8 of a str (or subclass instance); what=... names it in the
// length error.
bool str_to_text(PyObject* str, std::string_view what, std::string* out) {
  PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(str));
  if (!bytes) return false;  // UnicodeEncodeError, unchanged
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return false;
  if (!check_length(what, size)) return false;
  out->assign(data, static_cast<size_t>(size));
  return true;
}

bool convert(PyObject* obj, int depth, Value* out);

bool convert_list(PyObject* list, int depth, Value* out) {
  if (depth >= MAX_DEPTH) return raise_too_deep();
  const Py_ssize_t size = PyList_Size(list);
  if (size < 0 || !check_length("array", size)) return false;
  Array elements;
  elements.reserve(static_cast<size_t>(size));
  // The length is read again on each step: nothing here runs Python code,
  // but an allocation failure's exception could, and a shorter list must not
  // be read past its end.
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    PyRef item = PyRef::borrow(PyList_GetItem(list, i));
    if (!item) return false;
    elements.emplace_back();
    if (!convert(item.get(), depth + 1, &elements.back())) return false;
  }
  *out = Value::array(std::move(elements));
  return true;
}

bool convert_link(PyObject* link, int depth, Value* out) {
  if (depth + link_levels(link) > MAX_DEPTH) return raise_too_deep();
  const LinkData& data = link_data(link);
  *out = Value::link(data.path, data.local.copy());
  return true;
}

bool convert(PyObject* obj, int depth, Value* out) {
  if (obj == Py_None) {
    *out = Value::null();
    return true;
  }
  PyTypeObject* type = Py_TYPE(obj);
  // Neither class can be subclassed, so the exact type is the instance test.
  if (is_tombstone_type(type)) {
    *out = Value::tombstone();
    return true;
  }
  if (is_link_type(type)) return convert_link(obj, depth, out);
  if (type == &PyBool_Type) {
    *out = Value::boolean(obj == Py_True);
    return true;
  }
  if (PyLong_Check(obj)) {
    const long long i = PyLong_AsLongLong(obj);
    if (i == -1 && PyErr_Occurred()) return false;  // OverflowError, unchanged
    *out = Value::integer(i);
    return true;
  }
  if (PyFloat_Check(obj)) {
    *out = Value::floating(PyFloat_AsDouble(obj));
    return true;
  }
  if (PyUnicode_Check(obj)) {
    std::string text;
    if (!str_to_text(obj, "text", &text)) return false;
    *out = Value::text(std::move(text));
    return true;
  }
  if (PyBytes_Check(obj)) {
    // The object's own buffer: a subclass's __len__ or __iter__ never runs.
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
    if (!check_length("blob", size)) return false;
    *out = Value::blob(std::string(data, static_cast<size_t>(size)));
    return true;
  }
  if (PyList_Check(obj)) return convert_list(obj, depth, out);
  if (PyDict_Check(obj)) {
    if (depth >= MAX_DEPTH) return raise_too_deep();
    Map map;
    if (!dict_to_map(obj, &map, depth + 1)) return false;
    *out = Value::map(std::move(map));
    return true;
  }
  return raise_unsupported(obj);
}

PyObject* array_to_list(Array&& elements) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(elements.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < elements.size(); ++i) {
    PyObject* item = value_to_py(std::move(elements[i]));
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

}  // namespace

bool py_to_value(PyObject* obj, Value* out) { return convert(obj, 0, out); }

PyObject* text_to_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

bool dict_to_map(PyObject* dict, Map* out, int depth) {
  const Py_ssize_t size = PyDict_Size(dict);
  if (size < 0 || !check_length("map", size)) return false;
  out->reserve(static_cast<size_t>(size));
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      raise_cannot_convert(key, "PyString");
      return false;
    }
    // Strong references: the conversion itself runs no Python code, but a
    // failure raises, and creating the exception may run the collector.
    PyRef held_key = PyRef::borrow(key);
    PyRef held_value = PyRef::borrow(value);
    std::string text;
    if (!str_to_text(key, "map key", &text)) return false;
    Value v;
    if (!convert(value, depth, &v)) return false;
    out->insert(std::move(text), std::move(v));
  }
  return true;
}

PyObject* value_to_py(Value&& v) {
  switch (v.kind()) {
    case Kind::Null:
      Py_RETURN_NONE;
    case Kind::Tombstone:
      return new_tombstone();
    case Kind::Bool:
      return PyBool_FromLong(v.as_bool() ? 1 : 0);
    case Kind::Int:
      return PyLong_FromLongLong(v.as_int());
    case Kind::Float:
      return PyFloat_FromDouble(v.as_float());
    case Kind::Text:
      return text_to_str(v.as_text());
    case Kind::Blob:
      return PyBytes_FromStringAndSize(v.as_blob().data(),
                                       static_cast<Py_ssize_t>(v.as_blob().size()));
    case Kind::Date:
      return PyLong_FromUnsignedLong(v.as_date());
    case Kind::Time:
      return PyLong_FromUnsignedLong(v.as_time());
    case Kind::DateTime:
      return PyLong_FromUnsignedLongLong(v.as_date_time());
    case Kind::Array:
      return array_to_list(std::move(v.as_array()));
    case Kind::Map:
      return map_to_dict(std::move(v.as_map()));
    case Kind::Link:
      return new_link(std::move(v.as_link()));
  }
  Py_RETURN_NONE;  // unreachable: every kind is handled above
}

PyObject* map_to_dict(Map&& m) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (Map::Entry& entry : m.take_entries()) {
    PyRef key = PyRef::steal(text_to_str(entry.first));
    if (!key) return nullptr;
    PyRef value = PyRef::steal(value_to_py(std::move(entry.second)));
    if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

int nesting_levels(const Value& v) {
  if (v.is(Kind::Array)) {
    int deepest = 0;
    for (const Value& e : v.as_array()) deepest = std::max(deepest, nesting_levels(e));
    return 1 + deepest;
  }
  if (v.is(Kind::Map)) return 1 + nesting_levels(v.as_map());
  if (v.is(Kind::Link)) return 1 + nesting_levels(v.as_link().local);
  return 0;
}

int nesting_levels(const Map& m) {
  int deepest = 0;
  for (const Map::Entry& e : m) deepest = std::max(deepest, nesting_levels(e.second));
  return deepest;
}

}  // namespace zez::py
