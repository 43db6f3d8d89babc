#include "db/large_memory.h"

#include <sys/mman.h>

namespace zez {

void* allocate_large(size_t bytes) {
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  // Only advice: where large pages are off or used up, small ones serve.
  madvise(memory, bytes, MADV_HUGEPAGE);
#endif
  return memory;
}

void free_large(void* memory, size_t bytes) { munmap(memory, bytes); }

}  // namespace zez
