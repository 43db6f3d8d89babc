// Repair is total: whatever bytes a record file ("c.qdb") and a backlink
// file ("c.qbl") hold, `zezavezud repair` (then `repair --salvage` when it
// leaves damage in the middle) leaves a directory that the engine opens,
// that a full check finds clean, and that a second repair leaves alone; and
// every byte taken out of a file is in lost+found/, as the cut range or as
// the whole original.
//
// Input: a u16 (little-endian) giving the record file's share of the rest,
// then the two files' bytes one after the other.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "db/database.h"
#include "fuzz_check.h"
#include "memory_platform.h"
#include "string_console.h"
#include "tool/tool.h"

using namespace zez;
using zez::fuzz::check;

namespace {

const std::string DIR = "/d";
const std::string LOST_FOUND = "/d/lost+found";

std::map<std::string, std::string> files_of(const testing::MemoryPlatform& p,
                                            const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const std::string& name : p.names(dir)) {
    if (auto bytes = p.contents(dir, name)) out[name] = *bytes;
  }
  return out;
}

int run(testing::MemoryPlatform& p, std::vector<std::string_view> args, std::string* out = nullptr) {
  tool::StringConsole console;
  int status = tool::run_tool(p, args, console);
  if (out) *out = console.stdout_text() + console.stderr_text();
  return status;
}

bool in_lost_found(const std::vector<std::string>& saved, const std::string& bytes) {
  for (const std::string& s : saved) {
    if (s == bytes) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t rest = size - 2;
  const size_t split = rest == 0 ? 0 : (size_t(data[0]) | size_t(data[1]) << 8) % (rest + 1);
  const std::string qdb(reinterpret_cast<const char*>(data + 2), split);
  const std::string qbl(reinterpret_cast<const char*>(data + 2 + split), rest - split);

  testing::MemoryPlatform p;
  p.put(DIR, "c.qdb", qdb);
  p.put(DIR, "c.qbl", qbl);
  const auto before = files_of(p, DIR);

  std::string log;
  int status = run(p, {"repair", DIR}, &log);
  check((status & tool::EXIT_OPERATIONAL) == 0, "repair failed", log);
  if (status & tool::EXIT_DAMAGE_LEFT) {
    status = run(p, {"repair", DIR, "--salvage"}, &log);
    check((status & (tool::EXIT_OPERATIONAL | tool::EXIT_DAMAGE_LEFT)) == 0,
          "salvage left damage or failed", log);
  }

  {
    auto db = Database::open(DIR, p);
    check(db.ok(), "the engine does not open the repaired directory",
          db.ok() ? std::string() : db.error().display() + "\n" + log);
  }
  // The open may have created nothing that a check would mind; a full check
  // finds no damage.
  std::string checked;
  check(run(p, {"check", DIR}, &checked) == 0, "check after repair", checked + "\n" + log);

  const auto repaired = files_of(p, DIR);
  std::vector<std::string> saved;
  for (const auto& [name, bytes] : files_of(p, LOST_FOUND)) saved.push_back(bytes);
  std::string again;
  check(run(p, {"repair", DIR}, &again) == 0, "a second repair found work", again);
  check(files_of(p, DIR) == repaired, "a second repair changed the directory", again);

  for (const auto& [name, old] : before) {
    auto it = repaired.find(name);
    const std::string now = it == repaired.end() ? std::string() : it->second;
    if (now == old || in_lost_found(saved, old)) continue;
    // A cut: what is left is a prefix, and the rest is saved.
    check(old.compare(0, now.size(), now) == 0 && in_lost_found(saved, old.substr(now.size())),
          "bytes taken out are not in lost+found", name);
  }
  return 0;
}
