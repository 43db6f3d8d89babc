// Memory for arrays of many megabytes that are filled once and dropped
// whole, such as the tables a scan of a large file builds. Where the system
// offers it, such memory is backed by large pages: each small page costs a
// fault the first time it is touched, and on a virtual machine ten thousand
// of those take longer than filling the table does.
#pragma once

#include <cstddef>
#include <new>

namespace zez {

// Blocks below this size come from the usual allocator.
constexpr size_t LARGE_MEMORY_THRESHOLD = size_t(4) << 20;

// `bytes` of memory, or nullptr; free it with free_large and the same size.
void* allocate_large(size_t bytes);
void free_large(void* memory, size_t bytes);
// Gives back the whole pages of a block from allocate_large that lie past
// its first `kept` bytes; free it later with `kept` as its size.
void trim_large(void* memory, size_t bytes, size_t kept);

// An allocator for containers that grow to many megabytes.
template <class T>
struct LargeAllocator {
  using value_type = T;

  LargeAllocator() = default;
  template <class U>
  LargeAllocator(const LargeAllocator<U>&) {}

  T* allocate(size_t n) {
    if (n > size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
    const size_t bytes = n * sizeof(T);
    if (bytes < LARGE_MEMORY_THRESHOLD) return static_cast<T*>(::operator new(bytes));
    void* memory = allocate_large(bytes);
    if (memory == nullptr) throw std::bad_alloc();
    return static_cast<T*>(memory);
  }
  void deallocate(T* p, size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes < LARGE_MEMORY_THRESHOLD) {
      ::operator delete(p);
    } else {
      free_large(p, bytes);
    }
  }

  template <class U>
  bool operator==(const LargeAllocator<U>&) const {
    return true;
  }
};

}  // namespace zez
