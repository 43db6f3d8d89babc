#include "db/large_memory.h"

#include <sys/mman.h>
#include <unistd.h>

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

void trim_large(void* memory, size_t bytes, size_t kept) {
  const size_t page = size_t(sysconf(_SC_PAGESIZE));
  const size_t from = (kept + page - 1) / page * page;
  if (from < bytes) munmap(static_cast<char*>(memory) + from, bytes - from);
}

}  // namespace zez
