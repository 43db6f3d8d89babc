// The Database class, as Python would write it:
//
//   @final
//   class Database:              # no constructor: made by open(path)
//       def get(self, collection: str, key: str) -> object: ...
//       def set(self, collection: str, key: str, value: object) -> None: ...
//       def set_many(self, ops: list[tuple[str, str, object]]) -> None: ...
//       def delete(self, collection: str, key: str) -> None: ...
//       def resolve(self, collection: str, key: str, path: Sequence[str]) -> object: ...
//       def begin(self) -> None: ...
//       def commit(self) -> None: ...
//       def backlinks(self, collection: str, key: str) -> list[dict[str, str]]: ...
//       def __repr__(self): return 'Database("/the/dir")'
//
// Every method binds and converts its arguments, takes the Database's lock,
// makes one engine call, releases the lock and only then builds its result.
#include "python/database_type.h"

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "codec/encoding.h"
#include "codec/text.h"
#include "db/database.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/fast_convert.h"
#include "python/heap_type.h"
#include "python/py_ref.h"

namespace zez::py {

namespace {

// The block a Python Database owns: the engine and the lock that guards it.
struct EngineBlock {
  std::mutex mutex;
  bool is_poisoned = false;
  // Who holds `mutex`, read and written only with the interpreter lock held,
  // so that a call re-entering from the holding thread is refused instead of
  // deadlocking.
  bool is_held = false;
  std::thread::id owner;
  std::unique_ptr<Database> engine;
};

struct DatabaseObject {
  PyObject_HEAD EngineBlock* block;
};

EngineBlock& block_of(PyObject* self) { return *reinterpret_cast<DatabaseObject*>(self)->block; }

// Holds a Database's lock for one call. Released without finish() (an
// exception thrown by the call: an internal fault), it poisons the lock.
class EngineLock {
 public:
  explicit EngineLock(EngineBlock& block) : block_(block) {}
  EngineLock(const EngineLock&) = delete;
  EngineLock& operator=(const EngineLock&) = delete;
  ~EngineLock() {
    if (!is_locked_) return;
    if (!finished_) block_.is_poisoned = true;
    release();
  }

  // False with an exception set when the call must not go on: the lock is
  // poisoned (internal fault) or held by this very thread (RuntimeError).
  bool acquire() {
    if (block_.is_held && block_.owner == std::this_thread::get_id()) {
      raise_text(PyExc_RuntimeError,
                 "Database is already in use by this thread: a call re-entered it while "
                 "another call on it was running (for example from a finalizer)");
      return false;
    }
    if (!block_.mutex.try_lock()) {
      // Another thread holds it, so that thread is inside a call that ran
      // Python code (a finalizer) and now waits for the interpreter lock.
      // Waiting with the interpreter lock held would deadlock both threads.
      Py_BEGIN_ALLOW_THREADS block_.mutex.lock();
      Py_END_ALLOW_THREADS
    }
    is_locked_ = true;
    block_.is_held = true;
    block_.owner = std::this_thread::get_id();
    if (block_.is_poisoned) {
      release();
      raise_internal_fault(
          "this Database is unusable after an internal fault during an earlier call: "
          "PoisonError { .. }");
      return false;
    }
    return true;
  }

  Database& engine() { return *block_.engine; }
  // The call returned.
  void finish() { finished_ = true; }

 private:
  void release() {
    is_locked_ = false;
    block_.is_held = false;
    block_.mutex.unlock();
  }

  EngineBlock& block_;
  bool is_locked_ = false;
  bool finished_ = false;
};

// Runs `call` on the engine under the lock. Returns nothing (exception set)
// when the lock could not be taken.
template <class F>
auto with_engine(PyObject* self, F&& call)
    -> std::optional<decltype(call(std::declval<Database&>()))> {
  EngineLock lock(block_of(self));
  if (!lock.acquire()) return std::nullopt;
  std::optional<decltype(call(std::declval<Database&>()))> result(call(lock.engine()));
  lock.finish();
  return result;
}

PyObject* none_or_raise(const Result<Unit, StorageError>& r, EngineCall call) {
  if (!r.ok()) return raise_engine_error(call, r.error());
  Py_RETURN_NONE;
}

const Signature GET("Database.get()", {"collection", "key"}, 2);
const Signature SET("Database.set()", {"collection", "key", "value"}, 3);
const Signature SET_MANY("Database.set_many()", {"ops"}, 1);
const Signature DELETE("Database.delete()", {"collection", "key"}, 2);
const Signature RESOLVE("Database.resolve()", {"collection", "key", "path"}, 3);
const Signature BACKLINKS("Database.backlinks()", {"collection", "key"}, 2);
const Signature OPEN("open()", {"path"}, 1);

// Binds (collection, key) and converts both to text.
bool bind_address(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** a,
                  Utf8Arg* collection, Utf8Arg* key) {
  return sig.bind(args, kwargs, a) && collection->convert(a[0], "collection") &&
         key->convert(a[1], "key");
}

// A byte buffer kept from one call to the next, so that a read or write
// allocates none of its own. Calls run with the interpreter lock held, so
// one spare serves them all; a call made while the spare is taken (from a
// finalizer that another call's conversion ran) gets a buffer of its own.
class SpareBytes {
 public:
  SpareBytes() : is_spare_(!spare_in_use) { spare_in_use |= is_spare_; }
  ~SpareBytes() {
    if (!is_spare_) return;
    // One large value must not hold its memory for good.
    if (spare.capacity() > MAX_KEPT) std::string().swap(spare);
    spare_in_use = false;
  }
  SpareBytes(const SpareBytes&) = delete;
  SpareBytes& operator=(const SpareBytes&) = delete;

  // It may still hold an earlier call's bytes.
  std::string& get() { return is_spare_ ? spare : own_; }

 private:
  static constexpr size_t MAX_KEPT = 65536;
  static inline std::string spare;
  static inline bool spare_in_use = false;

  bool is_spare_;
  std::string own_;
};

// The object for a value's stored bytes: the direct decode, else the
// canonical one, which reports a decoding failure as get always has.
PyObject* stored_to_py(const std::string& bytes) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  if (PyObject* obj = decode_py_fast(data, bytes.size())) return obj;
  if (PyErr_Occurred()) return nullptr;  // out of memory
  size_t cursor = 0;
  auto decoded = decode_value(data, bytes.size(), &cursor);
  if (!decoded.ok()) {
    return raise_engine_error(EngineCall::Get, StorageError::codec(decoded.error()));
  }
  return value_to_py(std::move(decoded).value());
}

PyObject* database_get(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    Utf8Arg collection, key;
    if (!bind_address(GET, args, kwargs, a, &collection, &key)) return nullptr;
    SpareBytes buffer;
    std::string& bytes = buffer.get();
    auto r = with_engine(
        self, [&](Database& db) { return db.get_encoded(collection.view(), key.view(), bytes); });
    if (!r) return nullptr;
    if (!r->ok()) return raise_engine_error(EngineCall::Get, r->error());
    return stored_to_py(bytes);
  });
}

// A value for set, converted before it is written: encoded directly when the
// fast encoder takes it, else made into a Value by py_to_value, which raises
// the conversion's error or handles what the fast encoder left to it.
class ValueToWrite {
 public:
  // False with the conversion's exception set. A ValueToWrite may convert
  // one value after another: each starts afresh, keeping only the buffers.
  bool convert(PyObject* obj) {
    std::string& encoded = encoded_buffer_.get();
    encoded.clear();
    links_.clear();
    is_tree_ = false;
    if (encode_py_fast(obj, encoded, links_)) return true;
    is_tree_ = true;
    return py_to_value(obj, &tree_);
  }

  Result<Unit, StorageError> write(Database& db, std::string_view collection,
                                   std::string_view key) {
    if (is_tree_) return db.set(collection, key, std::move(tree_));
    return db.set_encoded(collection, key, encoded_buffer_.get(), links_);
  }

 private:
  SpareBytes encoded_buffer_;
  std::vector<OutgoingLink> links_;
  bool is_tree_ = false;
  Value tree_;
};

PyObject* database_set(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    Utf8Arg collection, key;
    if (!bind_address(SET, args, kwargs, a, &collection, &key)) return nullptr;
    ValueToWrite value;
    if (!value.convert(a[2])) return nullptr;
    auto r = with_engine(
        self, [&](Database& db) { return value.write(db, collection.view(), key.view()); });
    if (!r) return nullptr;
    return none_or_raise(*r, EngineCall::Set);
  });
}

PyObject* database_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    Utf8Arg collection, key;
    if (!bind_address(DELETE, args, kwargs, a, &collection, &key)) return nullptr;
    auto r =
        with_engine(self, [&](Database& db) { return db.remove(collection.view(), key.view()); });
    if (!r) return nullptr;
    return none_or_raise(*r, EngineCall::Delete);
  });
}

// The (collection, key) of one element of set_many's list.
struct Address {
  Utf8Arg collection;
  Utf8Arg key;
};

// Converts the address of `op`, when it is a tuple whose first two items
// convert, without raising: set_many takes the next element's address a
// step early, and a failure there is raised, in its turn, by set_one.
bool convert_address_quietly(PyObject* op, Address* address) {
  if (!PyTuple_Check(op) || PyTuple_Size(op) < 2) return false;
  if (address->collection.convert(PyTuple_GetItem(op, 0), nullptr) &&
      address->key.convert(PyTuple_GetItem(op, 1), nullptr)) {
    return true;
  }
  PyErr_Clear();
  return false;
}

// One element of set_many's list, converted in `value` and written; false
// with the exception set on the first failure. `address` is the element's
// address when it was converted already.
bool set_one(Database& db, PyObject* op, const Address* address, ValueToWrite& value) {
  if (!PyTuple_Check(op)) {
    raise_text(PyExc_TypeError, "set_many: expected list of (col, key, value) tuples");
    return false;
  }
  // Items are taken one at a time, so a short tuple fails with the
  // interpreter's IndexError only after the items before it converted.
  Address converted;
  if (address == nullptr) {
    PyObject* item = PyTuple_GetItem(op, 0);
    if (item == nullptr || !converted.collection.convert(item, nullptr)) return false;
    item = PyTuple_GetItem(op, 1);
    if (item == nullptr || !converted.key.convert(item, nullptr)) return false;
    address = &converted;
  }
  PyObject* item = PyTuple_GetItem(op, 2);
  if (item == nullptr || !value.convert(item)) return false;
  auto r = value.write(db, address->collection.view(), address->key.view());
  if (!r.ok()) {
    raise_engine_error(EngineCall::SetMany, r.error());
    return false;
  }
  return true;
}

PyObject* database_set_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!SET_MANY.bind(args, kwargs, a)) return nullptr;
    PyObject* ops = a[0];
    if (!PyList_Check(ops)) return raise_cannot_convert(ops, "PyList", "ops");
    auto ok = with_engine(self, [&](Database& db) {
      // The length is read on each step: a finalizer run by an allocation
      // could shorten the list.
      // Each element's address is converted one step early and its slots
      // prefetched, so that in a long list the index's cache misses overlap
      // with the work on the element before. It is used only if the same
      // object is still in its place when its turn comes.
      PyRef ahead_of;
      Address ahead;
      bool have_ahead = false;
      ValueToWrite value;  // its buffers serve every element in turn
      for (Py_ssize_t i = 0; i < PyList_Size(ops); ++i) {
        PyRef op = PyRef::borrow(PyList_GetItem(ops, i));
        if (!op) return false;
        Address current;
        const bool have_current = have_ahead && ahead_of.get() == op.get();
        if (have_current) current = std::move(ahead);
        have_ahead = false;
        if (i + 1 < PyList_Size(ops)) {
          ahead_of = PyRef::borrow(PyList_GetItem(ops, i + 1));
          if (!ahead_of) PyErr_Clear();
          ahead = Address{};
          have_ahead = ahead_of && convert_address_quietly(ahead_of.get(), &ahead);
          if (have_ahead) db.prefetch(ahead.collection.view(), ahead.key.view());
        }
        if (!set_one(db, op.get(), have_current ? &current : nullptr, value)) return false;
      }
      return true;
    });
    if (!ok || !*ok) return nullptr;
    Py_RETURN_NONE;
  });
}

// The segments of resolve's `path`: a sequence (not a str) of str.
bool convert_path(PyObject* path, std::vector<std::string>* segments) {
  if (PyUnicode_Check(path)) {
    raise_text(PyExc_TypeError,
               "argument 'path': a str is not accepted as a sequence of segments; "
               "pass a list or tuple of field names");
    return false;
  }
  if (!PySequence_Check(path)) {
    raise_cannot_convert(path, "Sequence", "path");
    return false;
  }
  const Py_ssize_t size = PySequence_Size(path);
  if (size < 0) {
    prefix_type_error("path");
    return false;
  }
  segments->reserve(static_cast<size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(path, i));
    if (!item) {
      prefix_type_error("path");
      return false;
    }
    Utf8Arg segment;
    if (!segment.convert(item.get(), "path")) return false;
    segments->emplace_back(segment.view());
  }
  return true;
}

PyObject* database_resolve(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    Utf8Arg collection, key;
    if (!bind_address(RESOLVE, args, kwargs, a, &collection, &key)) return nullptr;
    std::vector<std::string> segments;
    if (!convert_path(a[2], &segments)) return nullptr;
    auto r = with_engine(
        self, [&](Database& db) { return db.resolve(collection.view(), key.view(), segments); });
    if (!r) return nullptr;
    if (!r->ok()) return raise_engine_error(EngineCall::Resolve, r->error());
    // Converted after the lock is released: the result is our own copy, and
    // building Python objects may run the collector and with it finalizers.
    return value_to_py(std::move(*r).value());
  });
}

PyObject* database_begin(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto r = with_engine(self, [&](Database& db) {
      db.begin();
      return true;
    });
    if (!r) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* database_commit(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto r = with_engine(self, [&](Database& db) { return db.commit(); });
    if (!r) return nullptr;
    return none_or_raise(*r, EngineCall::Commit);
  });
}

// Interned once: every backlink dict uses the same three key objects.
PyObject* BACKLINK_KEYS[3] = {nullptr, nullptr, nullptr};

bool make_backlink_keys() {
  static const char* const names[3] = {"source_collection", "source_key", "source_path"};
  for (int i = 0; i < 3; ++i) {
    if (BACKLINK_KEYS[i] == nullptr) BACKLINK_KEYS[i] = PyUnicode_InternFromString(names[i]);
    if (BACKLINK_KEYS[i] == nullptr) return false;
  }
  return true;
}

PyObject* backlink_to_dict(const Backlink& b) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const std::string* texts[3] = {&b.source_collection, &b.source_key, &b.source_path};
  for (int i = 0; i < 3; ++i) {
    PyRef s = PyRef::steal(text_to_str(*texts[i]));
    if (!s || PyDict_SetItem(dict.get(), BACKLINK_KEYS[i], s.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* database_backlinks(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    Utf8Arg collection, key;
    if (!bind_address(BACKLINKS, args, kwargs, a, &collection, &key)) return nullptr;
    if (!make_backlink_keys()) return nullptr;
    auto r = with_engine(self,
                         [&](Database& db) { return db.backlinks(collection.view(), key.view()); });
    if (!r) return nullptr;
    if (!r->ok()) return raise_engine_error(EngineCall::Backlinks, r->error());
    const std::vector<Backlink>& backlinks = r->value();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(backlinks.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < backlinks.size(); ++i) {
      PyObject* dict = backlink_to_dict(backlinks[i]);
      if (dict == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), dict);  // steals dict
    }
    return list.release();
  });
}

PyObject* database_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    auto text =
        with_engine(self, [&](Database& db) { return "Database(" + quote_text(db.dir()) + ")"; });
    if (!text) return nullptr;
    return text_to_str(*text);
  });
}

void database_dealloc(PyObject* self) {
  // Destroying the engine writes its buffers out; nothing can throw past here.
  delete reinterpret_cast<DatabaseObject*>(self)->block;
  free_heap_object(self);
}

#define ZEZ_KW_METHOD(name, fn, doc)                                      \
  {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), \
   METH_VARARGS | METH_KEYWORDS, doc}

PyMethodDef database_methods[] = {
    ZEZ_KW_METHOD("get", database_get, "get($self, collection, key)\n--\n\n"),
    ZEZ_KW_METHOD("set", database_set, "set($self, collection, key, value)\n--\n\n"),
    ZEZ_KW_METHOD("set_many", database_set_many, "set_many($self, ops)\n--\n\n"),
    ZEZ_KW_METHOD("delete", database_delete, "delete($self, collection, key)\n--\n\n"),
    ZEZ_KW_METHOD("resolve", database_resolve, "resolve($self, collection, key, path)\n--\n\n"),
    {"begin", database_begin, METH_NOARGS, "begin($self)\n--\n\n"},
    {"commit", database_commit, METH_NOARGS, "commit($self)\n--\n\n"},
    ZEZ_KW_METHOD("backlinks", database_backlinks, "backlinks($self, collection, key)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot database_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(database_repr)},
    {Py_tp_methods, database_methods},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(database_dealloc)},
    {0, nullptr},
};

PyType_Spec database_spec = {"Database", sizeof(DatabaseObject), 0, Py_TPFLAGS_DEFAULT,
                             database_slots};

PyObject* database_type_object = nullptr;

PyObject* new_database(std::unique_ptr<Database> engine) {
  PyObject* type = database_type();
  if (type == nullptr) return nullptr;
  auto block = std::make_unique<EngineBlock>();
  block->engine = std::move(engine);
  PyObject* self = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<DatabaseObject*>(self)->block = block.release();
  return self;
}

}  // namespace

PyObject* database_type() {
  if (database_type_object == nullptr) database_type_object = make_heap_type(&database_spec);
  return database_type_object;
}

PyObject* open_database(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!OPEN.bind(args, kwargs, a)) return nullptr;
    Utf8Arg path;
    if (!path.convert(a[0], "path")) return nullptr;
    auto r = Database::open(std::string(path.view()));
    if (!r.ok()) return raise_engine_error(EngineCall::Open, r.error());
    return new_database(std::move(r).value());
  });
}

}  // namespace zez::py
