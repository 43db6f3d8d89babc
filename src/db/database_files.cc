#include "db/database_files.h"

#include <algorithm>
#include <cerrno>
#include <tuple>

#include "codec/encoding.h"

namespace zez {

std::optional<std::string_view> collection_name_fault(std::string_view collection) {
  if (collection.find('/') != std::string_view::npos) {
    return "collection name must not contain \"/\"";
  }
  if (collection.find('\0') != std::string_view::npos) {
    return "collection name must not contain a NUL character";
  }
  return std::nullopt;
}

std::optional<std::string> collection_files_fault(std::string_view collection) {
  if (auto fault = collection_name_fault(collection)) return std::string(*fault);
  constexpr size_t MAX_NAME = MAX_FILE_NAME - BACKLINK_SUFFIX.size();
  if (collection.size() > MAX_NAME) {
    return "collection name is too long for a file name (" + std::to_string(collection.size()) +
           " bytes, at most " + std::to_string(MAX_NAME) + ")";
  }
  return std::nullopt;
}

std::optional<DatabaseFile> database_file_of(std::string_view name) {
  for (const auto& [suffix, kind] : {std::pair{RECORD_SUFFIX, DatabaseFileKind::Records},
                                     std::pair{BACKLINK_SUFFIX, DatabaseFileKind::Backlinks}}) {
    if (name.size() < suffix.size() || name.substr(name.size() - suffix.size()) != suffix) {
      continue;
    }
    std::string collection(name.substr(0, name.size() - suffix.size()));
    const bool utf8 = is_valid_utf8(collection);
    return DatabaseFile{std::string(name), kind, std::move(collection), utf8};
  }
  return std::nullopt;
}

Result<std::vector<DatabaseFile>, IoError> list_database_files(Directory& dir) {
  auto names = dir.list();
  if (!names.ok()) return std::move(names).error();
  std::vector<DatabaseFile> files;
  for (const std::string& name : names.value()) {
    if (auto file = database_file_of(name)) files.push_back(std::move(*file));
  }
  return files;
}

std::vector<SharedFile> shared_files(std::vector<NamedFile> files) {
  std::sort(files.begin(), files.end(), [](const NamedFile& a, const NamedFile& b) {
    return std::tie(a.id.device, a.id.inode, a.name) < std::tie(b.id.device, b.id.inode, b.name);
  });
  // Each name after the first of a group shares the first one's file.
  std::vector<SharedFile> shared;
  size_t first = 0;
  for (size_t i = 1; i < files.size(); ++i) {
    if (!(files[i].id == files[first].id)) {
      first = i;
      continue;
    }
    shared.push_back({files[first].name, files[i].name});
  }
  return shared;
}

Result<std::vector<SharedFile>, IoError> find_shared_files(Directory& dir,
                                                           const std::vector<DatabaseFile>& files) {
  std::vector<NamedFile> opened_files;
  for (const DatabaseFile& file : files) {
    auto opened = dir.open(file.name, OpenMode::ReadOnly);
    if (!opened.ok()) {
      const int code = opened.error().os_code();
      // (0 is the platform's own refusal of a special file.)
      if (code == 0 || code == ENOENT || code == EISDIR || code == ELOOP || code == ENOTDIR ||
          code == ENXIO) {
        continue;
      }
      return std::move(opened).error();
    }
    auto id = opened.value()->identity();
    if (!id.ok()) return std::move(id).error();
    opened_files.push_back({file.name, id.value()});
  }
  return shared_files(std::move(opened_files));
}

IoError shared_file_error(const SharedFile& shared) {
  return IoError::message(shared.first + " and " + shared.second +
                          " are one file (a hard link, or a symbolic link to a sibling): the "
                          "writes of one collection would show in the other; give each its own "
                          "file (zezavezud repair does)");
}

}  // namespace zez
