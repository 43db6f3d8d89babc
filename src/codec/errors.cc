#include "codec/errors.h"

#include <cstdio>
#include <system_error>

#include "codec/value.h"

namespace zez {

std::string CodecError::display() const {
  switch (kind_) {
    case Kind::UnexpectedEnd:
      return "unexpected end of buffer";
    case Kind::UnknownType: {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02X", byte_);
      return std::string("unknown type byte: 0x") + hex;
    }
    case Kind::InvalidUtf8:
      return "invalid UTF-8 in text field";
    case Kind::TooDeep:
      return "value nested deeper than " + std::to_string(MAX_NESTING_DEPTH) + " levels";
  }
  return std::string();
}

std::string IoError::display() const {
  if (code_ == 0) return text_;
  return std::system_category().message(code_) + " (os error " + std::to_string(code_) + ")";
}

std::string StorageError::display() const {
  switch (kind()) {
    case Kind::Io:
      return "io: " + io_error().display();
    case Kind::Codec:
      return "codec: " + codec_error().display();
    case Kind::KeyNotFound:
      return "key not found";
  }
  return std::string();
}

std::string ResolveError::display() const {
  switch (kind()) {
    case Kind::Storage:
      return "storage: " + storage_error().display();
    case Kind::InvalidPath:
      return "invalid path: " + path_text();
    case Kind::CyclicLink:
      return "cyclic link detected";
    case Kind::FieldNotFound:
      return "field not found";
  }
  return std::string();
}

}  // namespace zez
