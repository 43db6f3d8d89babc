// Path resolution: walks a list of field names from a starting record,
// following links on the way.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "codec/errors.h"
#include "codec/result.h"
#include "codec/value.h"

namespace zez {

// The number of links one chain may follow.
inline constexpr int MAX_LINK_DEPTH = 32;

// What resolution needs from the database: the read of one record.
// KeyNotFound means no live record exists.
class RecordReader {
 public:
  virtual ~RecordReader() = default;
  virtual Result<Value, StorageError> read(std::string_view collection, std::string_view key) = 0;
};

// Resolves `segments` from the record (collection, key). Returns a new value
// (never a Link) or the ResolveError of the first failure.
Result<Value, ResolveError> resolve_path(RecordReader& reader, std::string_view collection,
                                         std::string_view key,
                                         const std::vector<std::string>& segments);

}  // namespace zez
