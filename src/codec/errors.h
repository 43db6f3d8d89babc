// The engine's error values. Each is a tagged value that owns its cause and
// builds its one display text from the inside out; an outer error only adds
// its prefix ("io: ", "codec: ", "storage: ") in front of the inner text.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace zez {

class [[nodiscard]] CodecError {
 public:
  enum class Kind : uint8_t { UnexpectedEnd, UnknownType, InvalidUtf8, TooDeep };

  static CodecError unexpected_end() { return CodecError(Kind::UnexpectedEnd, 0); }
  static CodecError unknown_type(uint8_t byte) { return CodecError(Kind::UnknownType, byte); }
  static CodecError invalid_utf8() { return CodecError(Kind::InvalidUtf8, 0); }
  // Input nested deeper than MAX_NESTING_DEPTH.
  static CodecError too_deep() { return CodecError(Kind::TooDeep, 0); }

  Kind kind() const { return kind_; }
  uint8_t type_byte() const { return byte_; }
  std::string display() const;

 private:
  CodecError(Kind k, uint8_t b) : kind_(k), byte_(b) {}
  Kind kind_;
  uint8_t byte_;
};

// A platform input/output failure: an operating-system error code, or one of
// the engine's fixed messages.
class [[nodiscard]] IoError {
 public:
  static IoError os(int code) { return IoError(code, std::string()); }
  static IoError message(std::string text) { return IoError(0, std::move(text)); }
  // The fixed messages the file formats and buffers use.
  static IoError unexpected_eof() { return message("failed to fill whole buffer"); }
  static IoError write_zero_buffered() { return message("failed to write the buffered data"); }
  static IoError write_zero() { return message("failed to write whole buffer"); }

  bool is_os() const { return code_ != 0; }
  int os_code() const { return code_; }
  // The system's message for the code, then " (os error N)"; or the fixed text.
  std::string display() const;

 private:
  IoError(int code, std::string text) : code_(code), text_(std::move(text)) {}
  int code_;
  std::string text_;
};

struct KeyNotFound {};

class [[nodiscard]] StorageError {
 public:
  // In the order of the cause's alternatives, so that the index is the kind.
  enum class Kind : uint8_t { Io, Codec, KeyNotFound };

  static StorageError io(IoError e) { return StorageError(std::move(e)); }
  static StorageError codec(CodecError e) { return StorageError(e); }
  static StorageError key_not_found() { return StorageError(KeyNotFound{}); }

  Kind kind() const { return static_cast<Kind>(cause_.index()); }
  const IoError& io_error() const { return std::get<IoError>(cause_); }
  const CodecError& codec_error() const { return std::get<CodecError>(cause_); }
  std::string display() const;

 private:
  using Cause = std::variant<IoError, CodecError, KeyNotFound>;
  explicit StorageError(Cause cause) : cause_(std::move(cause)) {}
  Cause cause_;
};

class [[nodiscard]] ResolveError {
 public:
  // In the order of the cause's alternatives, so that the index is the kind.
  enum class Kind : uint8_t { Storage, InvalidPath, CyclicLink, FieldNotFound };

  static ResolveError storage(StorageError e) { return ResolveError(std::move(e)); }
  static ResolveError invalid_path(std::string text) { return ResolveError(std::move(text)); }
  static ResolveError cyclic_link() { return ResolveError(Cyclic{}); }
  static ResolveError field_not_found() { return ResolveError(NotFound{}); }

  Kind kind() const { return static_cast<Kind>(cause_.index()); }
  const StorageError& storage_error() const { return std::get<StorageError>(cause_); }
  const std::string& path_text() const { return std::get<std::string>(cause_); }
  std::string display() const;

 private:
  struct Cyclic {};
  struct NotFound {};
  using Cause = std::variant<StorageError, std::string, Cyclic, NotFound>;
  explicit ResolveError(Cause cause) : cause_(std::move(cause)) {}
  Cause cause_;
};

}  // namespace zez
