#include "db/database_files.h"

#include "codec/encoding.h"

namespace zez {

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

}  // namespace zez
