// Result<T, E>: the engine's way of returning either a value or an error.
// Every failure the engine expects (input, files, the system) comes back as
// one of these; engine code throws nothing of its own but this:
// - std::bad_alloc, when memory runs out (strings, vectors and the tables:
//   LargeAllocator in src/db/large_memory.h throws it, and
//   std::bad_array_new_length for a size past the address space);
// - std::length_error from KeyMap (src/db/key_index.h), when a table would
//   pass 2^32 slots or 2^48 bytes of keys.
// The Python module catches everything at each entry point (`guarded` in
// src/python/errors.h) and raises its internal-fault exception instead, so
// no C++ exception reaches the interpreter.
#pragma once

#include <utility>
#include <variant>

namespace zez {

// The value of an operation that returns nothing on success.
struct Unit {};

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

}  // namespace zez
