// Helpers for the maintenance program's tests: building database
// directories byte by byte (damaged ones included) on the in-memory
// platform, running a subcommand, and describing what a directory holds as
// the engine sees it, so two directories can be compared whole.
#pragma once

#include <cctype>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "codec/encoding.h"
#include "codec/value.h"
#include "db/backlink_file.h"
#include "db/database.h"
#include "db/record_file.h"
#include "memory_platform.h"
#include "string_console.h"
#include "tool/tool.h"

namespace zez::testing {

inline const std::string TOOL_DIR = "/d";

// Names a parametrized case after its `name`, each character a test name
// may not hold turned into '_'.
struct CaseName {
  template <class Info>
  std::string operator()(const Info& info) const {
    std::string name;
    for (char ch : std::string(info.param.name)) {
      name.push_back(std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_');
    }
    return name;
  }
};

// One record file record setting `key` to `v` (Value::tombstone() deletes).
inline std::string record_bytes(std::string_view key, const Value& v) {
  std::string encoded;
  encode_value(v, encoded);
  return frame_record(key, encoded).value();
}

// One backlink file add record.
// A record framed by hand around any value bytes, a damaged or empty one
// included (no encoder writes those).
inline std::string raw_record(std::string_view key, std::string_view value) {
  std::string out;
  put_u32(out, uint32_t(key.size()));
  out.append(key);
  put_u32(out, uint32_t(value.size()));
  return out.append(value);
}

inline std::string zero_length_record(std::string_view key) { return raw_record(key, ""); }

inline std::string backlink_add_bytes(std::string_view target_key,
                                      std::string_view source_collection,
                                      std::string_view source_key, std::string_view source_path) {
  std::string out;
  (void)frame_backlink_record(BACKLINK_OP_ADD,
                              {target_key, source_collection, source_key, source_path}, out)
      .ok();
  return out;
}

// A small healthy database, file name -> bytes: users alice and bob, and
// posts p1 (a map whose "author" links to users/alice) and p2 (a link to
// users/bob), with the backlink file those links make.
inline std::map<std::string, std::string> sample_files() {
  Map post;
  post.insert("author", Value::link("users/alice"));
  return {
      {"users.qdb",
       record_bytes("alice", Value::integer(1)) + record_bytes("bob", Value::integer(2))},
      {"posts.qdb", record_bytes("p1", Value::map(std::move(post))) +
                        record_bytes("p2", Value::link("users/bob"))},
      {"users.qbl", backlink_add_bytes("alice", "posts", "p1", "author") +
                        backlink_add_bytes("bob", "posts", "p2", "")},
  };
}

inline void put_files(MemoryPlatform& p, const std::string& dir,
                      const std::map<std::string, std::string>& files) {
  for (const auto& [name, bytes] : files) p.put(dir, name, bytes);
}

// Runs `zezavezud ARGS...` over the platform; the console keeps the output.
inline int run_tool_on(MemoryPlatform& p, std::vector<std::string_view> args,
                       tool::StringConsole& console) {
  return tool::run_tool(p, args, console);
}
inline int run_tool_on(MemoryPlatform& p, std::vector<std::string_view> args) {
  tool::StringConsole console;
  return tool::run_tool(p, args, console);
}

// Every file of the directory (not its subdirectories), name -> bytes.
inline std::map<std::string, std::string> snapshot(const MemoryPlatform& p,
                                                   const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const std::string& name : p.names(dir)) {
    if (auto bytes = p.contents(dir, name)) files[name] = *bytes;
  }
  return files;
}

// What the engine shows of the directory, one line per fact: each key of
// each record file with its value's encoding (or the error that get
// reports), then each backlink list. Worked out on a copy, since the
// queries create files. "open: ERROR" when the database does not open.
inline std::string describe_database(const MemoryPlatform& p, const std::string& dir) {
  MemoryPlatform copy;
  auto files = snapshot(p, dir);
  for (const auto& [name, bytes] : files) copy.put(dir, name, bytes);
  auto db = Database::open(dir, copy);
  if (!db.ok()) return "open: " + db.error().display() + "\n";
  auto holder = copy.open_existing_directory(dir).value();
  std::map<std::string, std::set<std::string>> keys;  // collection -> keys to ask about
  auto suffixed = [](const std::string& name, std::string_view suffix) {
    return name.size() >= suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  for (const auto& [name, bytes] : files) {
    auto file = holder->open(name, OpenMode::ReadOnly).value();
    std::string collection = name.substr(0, name.size() - 4);
    if (suffixed(name, ".qdb")) {
      (void)scan_record_file(*file, bytes.size(), [&](const RecordView& r) {
        keys[collection].insert(std::string(r.key));
        return true;
      });
    } else if (suffixed(name, ".qbl")) {
      (void)scan_backlink_file(*file, [&](const BacklinkRecordView& r) {
        keys[collection].insert(std::string(r.strings.target_key));
        return true;
      });
    }
  }
  std::string out;
  for (const auto& [collection, names] : keys) {
    bool has_records = files.count(collection + ".qdb") != 0;
    bool has_backlinks = files.count(collection + ".qbl") != 0;
    for (const std::string& key : names) {
      std::string line = collection + "/" + key;
      if (has_records) {
        auto v = db.value()->get(collection, key);
        std::string encoded;
        if (v.ok()) encode_value(v.value(), encoded);
        out += line + (v.ok() ? " = " + encoded : " : " + v.error().display()) + "\n";
      }
      if (!has_backlinks) continue;
      auto links = db.value()->backlinks(collection, key);
      if (!links.ok()) {
        out += line + " <- " + links.error().display() + "\n";
        continue;
      }
      for (const Backlink& b : links.value()) {
        out +=
            line + " <- " + b.source_collection + "/" + b.source_key + "@" + b.source_path + "\n";
      }
    }
  }
  return out;
}

}  // namespace zez::testing
