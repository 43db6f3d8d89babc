// `zezavezud dump DIR [--collection NAME] [-o FILE]`: writes every live
// record as a line of JSON (dump_format.h), collections in name order and
// keys in byte order, so two dumps of the same data are the same text.
//
// It reads the record files with the scan alone, never through an open
// Database, so it also rescues what it can from a directory the engine
// refuses to open: a record it cannot read is reported and left out. Only
// each collection's live keys and their offsets are held in memory; values
// are read, written and dropped one at a time.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "codec/encoding.h"
#include "db/damage.h"
#include "db/record_file.h"
#include "tool/analysis.h"
#include "tool/dump_format.h"
#include "tool/json.h"
#include "tool/live_index.h"
#include "tool/tool.h"

namespace zez::tool {

namespace {

// Lines gather here and go out in pieces about this large.
constexpr size_t OUTPUT_CHUNK = size_t(64) << 10;

// One dump: where its lines go, and the findings and the status they make.
struct Dump {
  Console& console;
  std::FILE* file = nullptr;  // the one -o names, or null for standard output
  std::string pending;
  bool write_failed = false;
  int status = EXIT_CLEAN;

  explicit Dump(Console& c) : console(c) {}

  void flush() {
    if (file) {
      write_failed |= std::fwrite(pending.data(), 1, pending.size(), file) != pending.size();
    } else {
      console.out(pending);
    }
    pending.clear();
  }
  void add(const Finding& f, int bits) {
    console.err(f.display());
    status |= bits;
  }
  void read_error(const std::string& file_name, uint64_t offset, const IoError& error) {
    add(Finding{Finding::Severity::Damage, file_name, offset, "read error",
                error.display() + "; the records after it are left out"},
        EXIT_OPERATIONAL);
  }
  // Damage to one record: it is left out.
  void lost(const std::string& file_name, uint64_t offset, std::string kind, const std::string& key,
            const std::string& error, int bits) {
    add(Finding{Finding::Severity::Damage, file_name, offset, std::move(kind),
                "key " + quoted(key) + ": " + error + "; left out"},
        bits);
  }

  // The live keys of a record file and the offsets of their last records,
  // from the whole records: damaged regions are left out, each named as
  // check names it.
  LiveIndex index_live_records(File& f, uint64_t size, const std::string& name) {
    LiveIndex live(size);
    auto damage = classify_record_file(f, size);
    if (!damage.ok()) {
      read_error(name, 0, damage.error());
      return live;
    }
    uint64_t records = 0;
    std::vector<uint64_t> records_after;
    const ScanEnd end = replay_kept_records(f, damage.value(), live, records, records_after);
    const bool failed = end.stop != ScanStop::End;
    if (failed) records_after.clear();
    std::vector<Finding> findings;
    add_record_file_findings(name, damage.value(), records_after, findings);
    for (Finding& f : findings) {
      const bool is_damage = f.severity == Finding::Severity::Damage;
      if (is_damage) f.detail.append("; left out");
      add(f, is_damage ? EXIT_DAMAGE_LEFT : EXIT_CLEAN);
    }
    if (failed) {
      read_error(name, end.offset, end.error ? *end.error : IoError::message("the file changed"));
    }
    return live;
  }

  // Dumps one collection's live records; returns how many were written.
  uint64_t collection(Directory& dir, const DirectoryListing::Entry& entry) {
    auto opened = dir.open(entry.name, OpenMode::ReadOnly);
    if (!opened.ok()) {
      add(Finding{Finding::Severity::Damage, entry.name, std::nullopt, "cannot open",
                  opened.error().display() + "; collection left out"},
          EXIT_OPERATIONAL);
      return 0;
    }
    File& f = *opened.value();
    auto size = f.size();
    if (!size.ok()) {
      read_error(entry.name, 0, size.error());
      return 0;
    }
    const LiveIndex live = index_live_records(f, size.value(), entry.name);
    uint64_t written = 0;
    std::string encoded;
    for (const auto& [key, offset] : live.in_key_order()) {
      auto read = read_record_value(f, offset, size.value(), encoded);
      if (!read.ok()) {
        lost(entry.name, offset, "read error", std::string(key), read.error().display(),
             EXIT_OPERATIONAL);
        continue;
      }
      size_t cursor = 0;
      auto value =
          decode_value(reinterpret_cast<const uint8_t*>(encoded.data()), encoded.size(), &cursor);
      if (!value.ok()) {
        lost(entry.name, offset, "value does not decode", std::string(key), value.error().display(),
             EXIT_DAMAGE_LEFT);
        continue;
      }
      append_dump_record(pending, entry.collection, key, value.value());
      if (pending.size() >= OUTPUT_CHUNK) flush();
      ++written;
    }
    return written;
  }
};

}  // namespace

int run_dump(Platform& platform, const ParsedArgs& args, Console& console) {
  const std::string& path = args.positionals[0];
  auto dir = open_for_reading(platform, path, console);
  if (!dir.ok()) return console.fail(dir.error().message);
  auto listing = list_directory(*dir.value());
  if (!listing.ok()) return console.fail(path + ": " + listing.error().display());
  const std::string* only = args.value("collection");
  if (only && !has_collection(listing.value(), *only)) {
    return console.fail(no_collection_message(path, *only));
  }
  Dump dump(console);
  // A record file that does not open is left out, as damage (or, when this
  // user may not read it, as an operational failure). A backlink file leaves
  // nothing out of a dump, which holds records only.
  const std::vector<std::string>& unopenable = listing.value().unopenable;
  for (const Finding& f : listing.value().notes) {
    const auto db_file = database_file_of(f.file);
    if (only && db_file && db_file->collection != *only) continue;
    const bool left_out =
        db_file && db_file->kind == DatabaseFileKind::Records &&
        std::find(unopenable.begin(), unopenable.end(), f.file) != unopenable.end();
    dump.add(f, !left_out                                 ? EXIT_CLEAN
                : f.severity == Finding::Severity::Damage ? EXIT_DAMAGE_LEFT
                                                          : EXIT_OPERATIONAL);
  }
  std::vector<DirectoryListing::Entry> chosen;
  for (const auto& entry : listing.value().record_files) {
    if (!only || entry.collection == *only) chosen.push_back(entry);
  }
  const std::string* output = args.value("output");
  std::FILE* file = output ? std::fopen(output->c_str(), "wb") : nullptr;
  if (output && !file) {
    console.err("zezavezud: cannot create " + *output + ": " + IoError::os(errno).display());
    return EXIT_OPERATIONAL;
  }
  dump.file = file;
  append_dump_header(dump.pending);
  uint64_t records = 0;
  for (size_t i = 0; i < chosen.size(); ++i) {
    console.progress("dumping", i, chosen.size());
    records += dump.collection(*dir.value(), chosen[i]);
  }
  append_dump_trailer(dump.pending, records);
  dump.flush();
  if (file && (std::fclose(file) != 0 || dump.write_failed)) {
    console.err("zezavezud: cannot write " + *output);
    dump.status |= EXIT_OPERATIONAL;
  }
  return dump.status;
}

}  // namespace zez::tool
