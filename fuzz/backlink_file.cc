// Replays the input as a backlink file ("t.qbl") through BacklinkIndex::load
// over the in-memory platform and checks it against a plain replay of the
// same bytes: the load succeeds exactly when every record is whole with
// UTF-8 strings, and then every key's list matches. Adds and removes made
// afterwards show in queries and survive a reload.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "db/backlink_index.h"
#include "fuzz_check.h"
#include "memory_platform.h"

using namespace zez;
using zez::fuzz::check;

namespace {

using Model = std::map<std::string, std::vector<Backlink>>;

// The length-prefixed UTF-8 string at *pos, or nothing.
std::optional<std::string> read_string(const uint8_t* data, size_t size, size_t* pos) {
  if (size - *pos < 4) return std::nullopt;
  const uint8_t* p = data + *pos;
  size_t len = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  if (size - *pos - 4 < len) return std::nullopt;
  std::string s(reinterpret_cast<const char*>(p + 4), len);
  if (!is_valid_utf8(s)) return std::nullopt;
  *pos += 4 + len;
  return s;
}

void add(Model& m, const std::string& key, Backlink b) { m[key].push_back(std::move(b)); }

void remove(Model& m, const std::string& key, const Backlink& b) {
  auto it = m.find(key);
  if (it != m.end()) std::erase(it->second, b);
}

std::optional<Model> replay(const uint8_t* data, size_t size) {
  Model m;
  size_t pos = 0;
  while (pos < size) {
    const uint8_t op = data[pos++];
    std::optional<std::string> f[4];
    for (auto& s : f) {
      s = read_string(data, size, &pos);
      if (!s) return std::nullopt;
    }
    Backlink b{*f[1], *f[2], *f[3]};
    if (op == 1) add(m, *f[0], std::move(b));
    if (op == 2) remove(m, *f[0], b);
  }
  return m;
}

void check_same(const BacklinkIndex& index, const Model& m) {
  for (const auto& [key, list] : m) check(index.query(key) == list, "a key's list differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  testing::MemoryPlatform platform;
  platform.put("db", "t.qbl", std::string(reinterpret_cast<const char*>(data), size));
  auto dir = platform.open_directory("db");
  check(dir.ok(), "no directory");
  auto model = replay(data, size);
  auto index = BacklinkIndex::load(*dir.value(), "t.qbl");
  check(index.ok() == model.has_value(), "load and the plain replay disagree",
        index.ok() ? "load succeeded" : index.error().display());
  if (!index.ok()) return 0;
  check_same(*index.value(), *model);
  check(index.value()->query("\xff-never-a-key").empty(), "an unknown key has backlinks");

  // Take out the first entry of each list and add a new one under its key.
  std::vector<std::string> keys;
  for (const auto& [key, list] : *model) keys.push_back(key);
  for (const std::string& key : keys) {
    const std::vector<Backlink>& list = (*model)[key];
    if (!list.empty()) {
      Backlink first = list.front();
      check(index.value()->apply({{BacklinkChange::Remove, key, &first}}).ok(), "remove failed");
      remove(*model, key, first);
    }
    Backlink added{"s", key, "p/" + std::to_string(list.size())};
    Backlink taken = added;  // an add takes over its record
    check(index.value()->apply({{BacklinkChange::Add, key, &taken}}).ok(), "add failed");
    add(*model, key, std::move(added));
  }
  check_same(*index.value(), *model);
  index.value().reset();
  auto reloaded = BacklinkIndex::load(*dir.value(), "t.qbl");
  check(reloaded.ok(), "reload failed", reloaded.ok() ? "" : reloaded.error().display());
  check_same(*reloaded.value(), *model);
  return 0;
}
