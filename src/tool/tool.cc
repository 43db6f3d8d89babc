#include "tool/tool.h"

#include <algorithm>
#include <cerrno>

#include "codec/encoding.h"

namespace zez::tool {

namespace {

// The longest file name the usual file systems take.
constexpr size_t MAX_FILE_NAME = 255;

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::string type_name(FileType type) {
  switch (type) {
    case FileType::Regular:
      return "regular file";
    case FileType::Directory:
      return "directory";
    case FileType::Symlink:
      return "symbolic link";
    case FileType::Other:
      return "special file";
  }
  return "entry";
}

Finding note(std::string file, std::string kind, std::string detail) {
  return Finding{Finding::Severity::Note, std::move(file), std::nullopt, std::move(kind),
                 std::move(detail)};
}

// The message for a directory that cannot be opened.
Failure directory_failure(const std::string& path, const IoError& error) {
  if (error.os_code() == ENOENT) return Failure{path + ": no such directory"};
  if (error.os_code() == ENOTDIR) return Failure{path + ": not a directory"};
  return Failure{path + ": " + error.display()};
}

}  // namespace

std::string Finding::display() const {
  // Appended piece by piece: GCC 12 warns falsely on `":" + std::to_string(n)`.
  std::string text = file;
  if (offset) text.append(":").append(std::to_string(*offset));
  if (!text.empty()) text.append(": ");
  text.append(kind);
  if (!detail.empty()) text.append(": ").append(detail);
  return text;
}

bool is_usable_collection_name(std::string_view name) {
  return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos &&
         name.size() + RECORD_SUFFIX.size() <= MAX_FILE_NAME;
}

Result<DirectoryListing, IoError> list_directory(Directory& dir) {
  auto names = dir.list();
  if (!names.ok()) return std::move(names).error();
  DirectoryListing listing;
  for (const std::string& name : names.value()) {
    bool temp = ends_with(name, TEMP_SUFFIX);
    bool records = ends_with(name, RECORD_SUFFIX);
    bool backlinks = ends_with(name, BACKLINK_SUFFIX);
    if (!temp && !records && !backlinks) continue;
    auto info = dir.entry_type(name);
    if (!info.ok()) return std::move(info).error();
    if (info.value().type != FileType::Regular) {
      listing.notes.push_back(
          note(name, "not a regular file",
               "a " + type_name(info.value().type) + " named like a database file; left alone"));
      continue;
    }
    if (temp) {
      listing.temp_files.push_back(name);
      continue;
    }
    std::string collection = name.substr(0, name.size() - RECORD_SUFFIX.size());
    if (!is_valid_utf8(collection)) {
      listing.notes.push_back(
          note(name, "name not UTF-8", "no collection can have this file; left alone"));
      continue;
    }
    auto& list = records ? listing.record_files : listing.backlink_files;
    list.push_back(DirectoryListing::Entry{name, std::move(collection)});
  }
  auto by_collection = [](const DirectoryListing::Entry& a, const DirectoryListing::Entry& b) {
    return a.collection < b.collection;
  };
  std::sort(listing.record_files.begin(), listing.record_files.end(), by_collection);
  std::sort(listing.backlink_files.begin(), listing.backlink_files.end(), by_collection);
  std::sort(listing.temp_files.begin(), listing.temp_files.end());
  return listing;
}

Result<std::unique_ptr<Directory>, Failure> open_for_reading(Platform& platform,
                                                             const std::string& path,
                                                             Console& console) {
  auto dir = platform.open_existing_directory(path);
  if (!dir.ok()) return directory_failure(path, dir.error());
  // A second handle only to ask whether anyone else holds the directory: the
  // reader itself must not keep a lock that would refuse a Database's open.
  auto probe = platform.open_existing_directory(path);
  if (probe.ok()) {
    auto locked = probe.value()->lock_exclusive();
    if (locked.ok() && locked.value() == LockStatus::WouldBlock) {
      console.err("warning: " + path +
                  " is open in another program: a write in flight may show as damage");
    }
  }
  return std::move(dir).value();
}

Result<std::unique_ptr<Directory>, Failure> open_for_writing(Platform& platform,
                                                             const std::string& path, bool create) {
  auto dir = create ? platform.open_directory(path) : platform.open_existing_directory(path);
  if (!dir.ok()) return directory_failure(path, dir.error());
  auto locked = dir.value()->lock_exclusive();
  if (!locked.ok()) {
    return Failure{path + ": cannot lock the directory (" + locked.error().display() +
                   "); nothing was changed"};
  }
  if (locked.value() == LockStatus::WouldBlock) {
    return Failure{path + " is open in another program; nothing was changed"};
  }
  return std::move(dir).value();
}

uint64_t space_for_file(uint64_t bytes) {
  constexpr uint64_t BLOCK = 4096;
  const uint64_t blocks = bytes / BLOCK + (bytes % BLOCK != 0) + 1;
  const uint64_t on_disk = blocks > UINT64_MAX / BLOCK ? UINT64_MAX : blocks * BLOCK;
  return saturating_add(on_disk, on_disk / 100);
}

Result<Unit, Failure> check_free_space(Directory& dir, uint64_t needed, std::string_view command,
                                       const std::string& path) {
  auto free = dir.free_space();
  if (!free.ok()) {
    return Failure{path + ": cannot learn the free space (" + free.error().display() +
                   "); nothing was changed"};
  }
  if (free.value() >= needed) return Unit{};
  std::string message = path;
  message.append(": not enough free space: ").append(command).append(" needs ");
  message.append(std::to_string(needed)).append(" bytes, ");
  message.append(std::to_string(free.value())).append(" are free; nothing was changed");
  return Failure{std::move(message)};
}

void write_findings_text(Console& console, const std::vector<Finding>& findings) {
  for (const Finding& f : findings) {
    console.out(f.display());
    console.out("\n");
  }
}

const std::vector<CommandSpec>& command_table() {
  static const std::vector<CommandSpec> table = {
      {"check", {OptionSpec::flag("quick"), OptionSpec::flag("json")}, {"DIR"}},
      {"repair",
       {OptionSpec::flag("dry-run"), OptionSpec::flag("salvage"), OptionSpec::flag("json")},
       {"DIR"}},
      {"compact", {OptionSpec::valued("collection", "NAME"), OptionSpec::flag("json")}, {"DIR"}},
      {"stats", {OptionSpec::flag("json")}, {"DIR"}},
      {"dump",
       {OptionSpec::valued("collection", "NAME"), OptionSpec::valued("output", "FILE", 'o')},
       {"DIR"}},
      {"load", {OptionSpec::valued("input", "FILE", 'i'), OptionSpec::flag("merge")}, {"DIR"}},
  };
  return table;
}

int run_tool(Platform& platform, const std::vector<std::string_view>& args, Console& console) {
  const auto& table = command_table();
  auto parsed = parse_args(table, args);
  if (!parsed.ok()) {
    console.err("zezavezud: " + parsed.error().display());
    std::string usage = "usage: zezavezud {check,repair,compact,stats,dump,load} ... DIR";
    for (const CommandSpec& command : table) {
      if (!args.empty() && args[0] == command.name) usage = usage_line("zezavezud", command);
    }
    console.err(usage);
    return EXIT_USAGE;
  }
  const ParsedArgs& a = parsed.value();
  if (a.help) {
    if (a.command != nullptr) {
      console.out(usage_line("zezavezud", *a.command) + "\n");
    } else {
      for (const CommandSpec& command : table) console.out(usage_line("zezavezud", command) + "\n");
    }
    return EXIT_CLEAN;
  }
  std::string_view name = a.command->name;
  if (name == "check") return run_check(platform, a, console);
  if (name == "repair") return run_repair(platform, a, console);
  if (name == "compact") return run_compact(platform, a, console);
  if (name == "stats") return run_stats(platform, a, console);
  if (name == "dump") return run_dump(platform, a, console);
  return run_load(platform, a, console);
}

}  // namespace zez::tool
