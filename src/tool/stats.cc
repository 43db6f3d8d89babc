// `zezavezud stats DIR [--json]`: sizes and dead space per collection, from
// one framing pass over each record file and a replay of each backlink
// file. Values are not decoded.
#include <map>

#include "tool/analysis.h"
#include "tool/tool.h"

namespace zez::tool {

namespace {

struct CollectionStats {
  uint64_t live_keys = 0;
  uint64_t records = 0;
  uint64_t file_bytes = 0;
  uint64_t live_bytes = 0;
  uint64_t backlink_file_bytes = 0;
  uint64_t backlink_rows = 0;

  uint64_t dead_bytes() const { return file_bytes - live_bytes; }
  double dead_share() const {
    return file_bytes == 0 ? 0.0 : double(dead_bytes()) / double(file_bytes);
  }
};

void write_stats_json(JsonWriter& w, const CollectionStats& s) {
  w.begin_object();
  w.write_member("live_keys", s.live_keys);
  w.write_member("records", s.records);
  w.write_member("file_bytes", s.file_bytes);
  w.write_member("live_bytes", s.live_bytes);
  w.write_member("dead_bytes", s.dead_bytes());
  w.write_key("dead_share");
  (void)w.write_double(s.dead_share());  // always finite
  w.write_member("backlink_file_bytes", s.backlink_file_bytes);
  w.write_member("backlink_rows", s.backlink_rows);
  w.end_object();
}

std::string stats_line(std::string_view name, const CollectionStats& s) {
  char share[32];
  std::snprintf(share, sizeof share, "%.1f%%", s.dead_share() * 100);
  return cat({name, ": ", std::to_string(s.live_keys), " live keys, ", std::to_string(s.records),
              " records, ", std::to_string(s.file_bytes), " bytes (", std::to_string(s.live_bytes),
              " live, ", std::to_string(s.dead_bytes()), " dead, ", share, "); backlinks ",
              std::to_string(s.backlink_file_bytes), " bytes, ", std::to_string(s.backlink_rows),
              " rows\n"});
}

}  // namespace

int run_stats(Platform& platform, const ParsedArgs& args, Console& console) {
  const std::string& path = args.positionals[0];
  auto dir = open_for_reading(platform, path, console);
  if (!dir.ok()) return console.fail(dir.error().message);
  AnalysisOptions options;
  options.decode_values = false;
  auto analysis = analyse_directory(*dir.value(), options, console);
  if (!analysis.ok()) return console.fail(path + ": " + analysis.error().display());
  const Analysis& a = analysis.value();
  std::map<std::string, CollectionStats> by_name;
  CollectionStats totals;
  for (const RecordFileReport& r : a.record_files) {
    CollectionStats& s = by_name[r.entry.collection];
    s.live_keys = r.live.size();
    s.records = r.records;
    s.file_bytes = r.size;
    s.live_bytes = r.live.bytes();
    totals.live_keys += s.live_keys;
    totals.records += s.records;
    totals.file_bytes += s.file_bytes;
    totals.live_bytes += s.live_bytes;
  }
  for (const BacklinkFileReport& b : a.backlink_files) {
    CollectionStats& s = by_name[b.entry.collection];
    s.backlink_file_bytes = b.size;
    s.backlink_rows = b.rows.size();
    totals.backlink_file_bytes += s.backlink_file_bytes;
    totals.backlink_rows += s.backlink_rows;
  }
  if (args.has("json")) {
    write_json_report(console, [&](JsonWriter& w) {
      w.write_key("collections");
      w.begin_object();
      for (const auto& [name, s] : by_name) {
        w.write_key(printable(name));
        write_stats_json(w, s);
      }
      w.end_object();
      w.write_key("totals");
      write_stats_json(w, totals);
      w.write_key("findings");
      write_findings_json(w, a.findings);
    });
  } else {
    write_findings_text(console, a.findings);
    std::string out;
    for (const auto& [name, s] : by_name) {
      out += stats_line(name.empty() ? "(empty name)" : printable(name), s);
    }
    out += stats_line("total", totals);
    console.out(out);
  }
  return a.exit_status();
}

}  // namespace zez::tool
