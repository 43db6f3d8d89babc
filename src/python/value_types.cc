// The value classes, as Python would write them:
//
//   @final
//   class Tombstone:             # no constructor; TOMBSTONE is one instance
//       def __repr__(self): return "TOMBSTONE"
//       def __bool__(self): return False
//
//   @final
//   class Link:
//       def __new__(cls, path: str, local: dict | None = None): ...
//       path: str      # read-only, a new str on each access
//       local: dict    # read-only, a new dict on each access
//       def __repr__(self): return 'Link("a/b")' or 'Link("a/b", local={...})'
#include "python/value_types.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "codec/encoding.h"
#include "codec/text.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/heap_type.h"
#include "python/py_ref.h"

namespace zez::py {

namespace {

// ---- Tombstone -------------------------------------------------------------

PyObject* tombstone_repr(PyObject*) { return PyUnicode_FromString("TOMBSTONE"); }
int tombstone_bool(PyObject*) { return 0; }

PyType_Slot tombstone_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(tombstone_repr)},
    {Py_nb_bool, reinterpret_cast<void*>(tombstone_bool)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {0, nullptr},
};

PyType_Spec tombstone_spec = {"Tombstone", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                              tombstone_slots};

// ---- Link ------------------------------------------------------------------

struct LinkObject {
  PyObject_HEAD LinkData data;
  int levels;  // container levels spanned: 1 + the nesting inside `local`
};

LinkObject* as_link(PyObject* o) { return reinterpret_cast<LinkObject*>(o); }

PyObject* make_link(PyTypeObject* type, LinkData&& data) {
  const int levels = 1 + nesting_levels(data.local);
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&as_link(self)->data) LinkData(std::move(data));
  as_link(self)->levels = levels;
  return self;
}

const Signature LINK_SIGNATURE("Link.__new__()", {"path", "local"}, 1);

PyObject* link_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!LINK_SIGNATURE.bind(args, kwargs, a)) return nullptr;
    Utf8Arg path;
    if (!path.convert(a[0], "path")) return nullptr;
    if (!fits_length_field(path.view().size())) {
      return raise_text(PyExc_OverflowError, oversized_message("link path", path.view().size()));
    }
    LinkData data{std::string(path.view()), Map()};
    PyObject* local = a[1];
    if (local != nullptr && local != Py_None) {
      if (!PyDict_Check(local)) return raise_cannot_convert(local, "PyDict", "local");
      if (!dict_to_map(local, &data.local)) return nullptr;
    }
    return make_link(type, std::move(data));
  });
}

void link_dealloc(PyObject* self) {
  as_link(self)->data.~LinkData();
  free_heap_object(self);
}

PyObject* link_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const LinkData& data = as_link(self)->data;
    std::string text = "Link(" + quote_text(data.path);
    text += data.local.empty() ? ")" : ", local={...})";
    return text_to_str(text);
  });
}

PyObject* link_get_path(PyObject* self, void*) { return text_to_str(as_link(self)->data.path); }

PyObject* link_get_local(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return map_to_dict(as_link(self)->data.local.copy()); });
}

PyGetSetDef link_getset[] = {
    {"path", link_get_path, nullptr, nullptr, nullptr},
    {"local", link_get_local, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char LINK_DOC[] = "Link(path, local=None)\n--\n\n";
// Before 3.10 a heap type keeps its docstring without the text
// signature, so Link.__text_signature__ would be None there. Such an
// interpreter is handed this text instead, which it keeps whole because it
// does not start with the class name; the leading character is then cut off
// in place (see restore_link_signature).
constexpr char LINK_DOC_KEPT_WHOLE[] = "_Link(path, local=None)\n--\n\n";

PyType_Slot link_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(link_new)},
    {Py_tp_repr, reinterpret_cast<void*>(link_repr)},
    {Py_tp_getset, link_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(link_dealloc)},
    {Py_tp_doc, const_cast<char*>(LINK_DOC)},
    {0, nullptr},
};

PyType_Spec link_spec = {"Link", sizeof(LinkObject), 0, Py_TPFLAGS_DEFAULT, link_slots};

bool interpreter_drops_type_signatures() {
  int major = 0;
  int minor = 0;
  if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return false;
  return major == 3 && minor < 10;
}

// Turns the kept docstring "_Link(...)" into "Link(...)" in the type's own
// copy, and sets __doc__ to what newer interpreters give: the docstring
// without its signature, which is empty.
bool restore_link_signature(PyObject* type) {
  char* doc = static_cast<char*>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_doc));
  if (doc == nullptr || std::strcmp(doc, LINK_DOC_KEPT_WHOLE) != 0) return true;
  std::memmove(doc, doc + 1, sizeof(LINK_DOC));
  PyRef empty = PyRef::steal(PyUnicode_FromString(""));
  return empty && PyObject_SetAttrString(type, "__doc__", empty.get()) == 0;
}

PyObject* make_link_type() {
  const bool restore = interpreter_drops_type_signatures();
  if (restore) find_slot(link_slots, Py_tp_doc)->pfunc = const_cast<char*>(LINK_DOC_KEPT_WHOLE);
  PyObject* type = make_heap_type(&link_spec);
  if (type != nullptr && restore && !restore_link_signature(type)) Py_CLEAR(type);
  return type;
}

PyObject* tombstone_type_object = nullptr;
PyObject* link_type_object = nullptr;

}  // namespace

PyObject* tombstone_type() {
  if (tombstone_type_object == nullptr) tombstone_type_object = make_heap_type(&tombstone_spec);
  return tombstone_type_object;
}

PyObject* link_type() {
  if (link_type_object == nullptr) link_type_object = make_link_type();
  return link_type_object;
}

bool is_tombstone_type(PyTypeObject* type) {
  return reinterpret_cast<PyObject*>(type) == tombstone_type_object;
}

bool is_link_type(PyTypeObject* type) {
  return reinterpret_cast<PyObject*>(type) == link_type_object;
}

PyObject* new_tombstone() {
  PyObject* type = tombstone_type();
  if (type == nullptr) return nullptr;
  return PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
}

PyObject* new_link(LinkData&& data) {
  PyObject* type = link_type();
  if (type == nullptr) return nullptr;
  return make_link(reinterpret_cast<PyTypeObject*>(type), std::move(data));
}

const LinkData& link_data(PyObject* link) { return as_link(link)->data; }
int link_levels(PyObject* link) { return as_link(link)->levels; }

}  // namespace zez::py
