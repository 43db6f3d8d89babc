#include "db/database_files.h"

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

}  // namespace zez
