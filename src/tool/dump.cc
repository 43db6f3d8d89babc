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
#include <memory>
#include <optional>
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

// The file -o names, written as a temporary file beside it that replaces it
// only once the dump is complete and on stable storage: a dump killed or
// failed part way leaves an earlier dump at FILE as it was.
class DumpFile {
 public:
  static Result<DumpFile, Failure> create(Platform& platform, const std::string& path) {
    const size_t slash = path.rfind('/');
    DumpFile d;
    d.path_ = path;
    d.name_ = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string parent = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    if (d.name_.empty() || d.name_ == "." || d.name_ == "..") {
      return Failure{path + ": names a directory, not a file"};
    }
    auto dir = platform.open_existing_directory(parent);
    if (!dir.ok()) return io_failure(path, "cannot create", dir.error());
    d.dir_ = std::move(dir).value();
    auto info = d.dir_->entry_type(d.name_);
    std::unique_ptr<File> old;
    if (info.ok()) {
      // Renaming over a device or a FIFO would replace it with a file.
      if (info.value().type != FileType::Regular) {
        return Failure{path + ": not a regular file; nothing was written (use -o - for "
                              "standard output)"};
      }
      auto opened = d.dir_->open(d.name_, OpenMode::ReadOnly);
      if (!opened.ok()) return io_failure(path, "cannot open", opened.error());
      old = std::move(opened).value();
    }
    d.temp_ = temp_name_of(d.name_);
    auto out = d.dir_->open(d.temp_, OpenMode::CreateTruncate);
    if (!out.ok()) return io_failure(path, "cannot create " + d.temp_ + " beside it", out.error());
    d.out_ = std::move(out).value();
    // A dump that replaces another keeps who may read it.
    if (old) {
      auto moded = copy_owner_and_mode(*old, *d.out_);
      if (!moded.ok()) {
        d.abandon();
        return io_failure(path, "cannot give the new dump the old one's owner and mode",
                          moded.error());
      }
    }
    return d;
  }

  Result<Unit, IoError> write(std::string_view bytes) {
    return write_all(*out_, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                     IoError::write_zero());
  }

  // Syncs the temporary file, renames it onto FILE and syncs the directory.
  Result<Unit, Failure> finish() {
    auto synced = out_->sync();
    if (!synced.ok()) return io_failure(path_, "cannot sync " + temp_, synced.error());
    out_.reset();
    auto renamed = dir_->rename(temp_, name_);
    if (!renamed.ok()) return io_failure(path_, "cannot rename " + temp_ + " onto it", renamed.error());
    temp_.clear();
    auto dir_synced = dir_->sync();
    if (!dir_synced.ok()) {
      return io_failure(path_, "written, but its directory cannot be synced", dir_synced.error());
    }
    return Unit{};
  }

  // Removes the temporary file; returns what the message adds.
  std::string abandon() {
    if (temp_.empty()) return "";
    out_.reset();
    if (!dir_->remove(temp_).ok()) return "; " + temp_ + " is left over beside it";
    temp_.clear();
    return "";
  }

 private:
  DumpFile() = default;
  std::string path_;
  std::string name_;
  std::string temp_;
  std::unique_ptr<Directory> dir_;
  std::unique_ptr<File> out_;
};

// One dump: where its lines go, and the findings and the status they make.
struct Dump {
  Console& console;
  DumpFile* file = nullptr;  // the one -o names, or null for standard output
  std::string pending;
  std::optional<IoError> write_error;
  int status = EXIT_CLEAN;

  explicit Dump(Console& c) : console(c) {}

  void flush() {
    if (write_error) {
      // Nothing more goes out after a failed write.
    } else if (file) {
      auto written = file->write(pending);
      if (!written.ok()) write_error = written.error();
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
  if (output && *output == "-") output = nullptr;
  std::optional<DumpFile> file;
  if (output) {
    auto created = DumpFile::create(platform, *output);
    if (!created.ok()) return console.fail(created.error().message);
    file.emplace(std::move(created).value());
    dump.file = &*file;
  }
  append_dump_header(dump.pending);
  uint64_t records = 0;
  for (size_t i = 0; i < chosen.size(); ++i) {
    console.progress("dumping", i, chosen.size());
    records += dump.collection(*dir.value(), chosen[i]);
    if (dump.write_error) break;
  }
  // A dump that could not read everything it should hold never ends in the
  // trailer that load takes for a complete dump.
  const bool complete = !(dump.status & EXIT_OPERATIONAL) && !dump.write_error;
  if (complete) append_dump_trailer(dump.pending, records);
  dump.flush();
  if (dump.write_error) {
    const std::string where = output ? *output : std::string("standard output");
    dump.status |= console.fail(cat({"cannot write ", where, ": ", dump.write_error->display(),
                                     output ? "; nothing was written" : "", file ? file->abandon() : ""}));
    return dump.status;
  }
  if (!complete) {
    console.fail(output ? cat({*output, ": not written: the dump could not read every record (see "
                               "above), and an incomplete dump must not pass for a whole one",
                               file->abandon()})
                        : "the dump could not read every record (see above): it ends without "
                          "its trailer, so load refuses it");
    return dump.status;
  }
  if (file) {
    auto finished = file->finish();
    if (!finished.ok()) {
      dump.status |= console.fail(finished.error().message + file->abandon());
    }
  }
  return dump.status;
}

}  // namespace zez::tool
