// A Database destroyed while memory runs out. This program replaces the
// global allocation functions (so it is a program of its own): while
// `fail_allocations` is set, every allocation fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "db/database.h"
#include "temp_dir.h"

namespace {
bool fail_allocations = false;

// Out of line: inlined, the compiler sees fresh memory from malloc in
// library code and warns about uses it cannot follow.
[[gnu::noinline]] void* allocate(std::size_t n) {
  if (fail_allocations) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return allocate(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace zez {
namespace {

// Inside a transaction the record waits in the write buffer and its backlink
// in the queue; the destructor pushes the first and applies the second,
// unless memory has run out, when the backlink is dropped.
class DestructorTest : public ::testing::TestWithParam<bool> {};

TEST_P(DestructorTest, PushesRecordsAndDropsQueuedBacklinksWhenMemoryRunsOut) {
  const bool out_of_memory = GetParam();
  testing::TempDir dir;
  {
    auto db = Database::open(dir.path());
    ASSERT_TRUE(db.ok());
    db.value()->begin();
    Map fields;
    fields.insert("author", Value::link("users/u1"));
    ASSERT_TRUE(db.value()->set("posts", "p1", Value::map(std::move(fields))).ok());
    fail_allocations = out_of_memory;
    db.value().reset();
    fail_allocations = false;
  }
  auto db = Database::open(dir.path());
  ASSERT_TRUE(db.ok());
  EXPECT_TRUE(db.value()->get("posts", "p1").ok());
  auto backlinks = db.value()->backlinks("users", "u1");
  ASSERT_TRUE(backlinks.ok());
  EXPECT_EQ(backlinks.value().size(), out_of_memory ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Memory, DestructorTest, ::testing::Bool());

}  // namespace
}  // namespace zez
