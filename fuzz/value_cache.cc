// The index and value cache of a collection against a plain map, through
// writes, removals, offsets from a scan and sheds of the cache's oldest
// block (which may drop only what the caller allows). Each input is a
// program: one op per 3 bytes (op, key, length), over 16 keys and a budget
// of a few pages, so blocks fill, values get blocks of their own, and sheds
// and reclaims run often.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "db/record_index.h"
#include "fuzz_check.h"

namespace {

using zez::KeyIndex;
using zez::RecordIndex;

struct Expected {
  std::string value;  // empty for an offset from a scan
  bool holds_links;
  uint64_t offset;
  bool dropped;
};

// Records at offsets divisible by 3 stand for ones not yet in the file.
bool droppable(uint64_t offset) { return offset % 3 != 0; }

void check_key(const RecordIndex& index, std::map<std::string, Expected>& expected,
               const std::string& key) {
  auto found = index.find(key, KeyIndex::hash(key));
  auto it = expected.find(key);
  zez::fuzz::check(found.has_value() == (it != expected.end()), "key presence", key);
  if (!found) return;
  Expected& e = it->second;
  zez::fuzz::check(found->written_here == !e.value.empty(), "written here", key);
  zez::fuzz::check(found->may_hold_links == e.holds_links, "link mark", key);
  if (found->value) {
    zez::fuzz::check(!e.dropped, "a dropped value came back", key);
    zez::fuzz::check(*found->value == e.value, "held value", key);
  } else {
    zez::fuzz::check(found->offset == e.offset, "offset", key);
    if (!e.value.empty()) {
      zez::fuzz::check(droppable(e.offset), "dropped a value not in the file", key);
      e.dropped = true;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zez::ValueCacheBudget budget{size_t(32) << 10};
  std::map<std::string, Expected> expected;
  {
    RecordIndex index;
    index.set_budget(&budget);
    uint64_t offset = 0;
    for (size_t at = 0; at + 3 <= size; at += 3) {
      const uint8_t op = data[at] % 8;
      const std::string key = "k" + std::to_string(data[at + 1] % 16);
      const uint64_t hash = KeyIndex::hash(key);
      // Lengths from 1 byte to past a block's quarter.
      const size_t len = size_t(data[at + 2]) * (op == 7 ? 40 : 1) + 1;
      ++offset;
      switch (op) {
        case 0:
          index.erase(key, hash);
          expected.erase(key);
          break;
        case 1:
          index.put_offset(key, hash, offset);
          expected[key] = {"", true, offset, false};
          break;
        case 2:
          index.shed_oldest_block(droppable);
          break;
        default: {
          const std::string value(len, char('a' + offset % 26));
          index.put_value(key, hash, value, op == 3, offset);
          index.reclaim_dead_bytes();
          expected[key] = {value, op == 3, offset, false};
          break;
        }
      }
      zez::fuzz::check(budget.held == index.cache_bytes(), "budget charge");
      check_key(index, expected, key);
    }
    for (int k = 0; k < 16; ++k) check_key(index, expected, "k" + std::to_string(k));
  }
  zez::fuzz::check(budget.held == 0, "blocks left charged after the index closed");
  return 0;
}
