// Which entries of a database directory are database files. `open` and the
// maintenance command both ask here, so that the command never judges a
// directory other than the one the engine sees.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/errors.h"
#include "codec/result.h"
#include "db/file.h"

namespace zez {

// What a collection's file names end in.
inline constexpr std::string_view RECORD_SUFFIX = ".qdb";
inline constexpr std::string_view BACKLINK_SUFFIX = ".qbl";
static_assert(RECORD_SUFFIX.size() == BACKLINK_SUFFIX.size());

// The longest file name the usual file systems take.
inline constexpr size_t MAX_FILE_NAME = 255;

// Why `collection` can name no file of its own: it holds "/" (it would name
// a file outside the directory) or NUL (the system would cut it short).
std::optional<std::string_view> collection_name_fault(std::string_view collection);

// Why `collection` can have no record or backlink file: a fault of its
// name, or a name too long for a file once its suffix is added. Nothing
// when it can. The one rule for which link targets are indexed: a write
// refuses a link to such a collection before storing anything, the
// backlink update passes over one that an older record holds, and
// maintenance reports them.
std::optional<std::string> collection_files_fault(std::string_view collection);
inline bool can_have_files(std::string_view collection) {
  return !collection_files_fault(collection);
}

enum class DatabaseFileKind { Records, Backlinks };

// A directory entry whose name makes it a record or backlink file. Only the
// name decides: what the entry is (a file, a link, a directory) shows when it
// is opened.
struct DatabaseFile {
  std::string name;  // the entry's name, raw bytes
  DatabaseFileKind kind;
  std::string collection;  // the name without its suffix, raw bytes
  // No collection can be named by text that is not UTF-8: the engine never
  // opens such a file, and the command only mentions it.
  bool collection_is_utf8;

  // `open` loads every record file of a UTF-8 collection name, except that
  // of the empty name: ".qdb" has no extension, as only its first character
  // is a dot. That file is loaded on the collection's first use instead.
  bool loaded_at_open() const {
    return kind == DatabaseFileKind::Records && collection_is_utf8 && !collection.empty();
  }
};

// The database file an entry name makes, or nothing for any other name.
std::optional<DatabaseFile> database_file_of(std::string_view name);

// The directory's database files, in the order the listing yields them.
Result<std::vector<DatabaseFile>, IoError> list_database_files(Directory& dir);

}  // namespace zez
