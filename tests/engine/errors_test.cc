#include "codec/errors.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace zez {
namespace {

TEST(CodecErrorText, UnknownTypeShowsTwoUppercaseHexDigits) {
  EXPECT_EQ(CodecError::unknown_type(0x0D).display(), "unknown type byte: 0x0D");
  EXPECT_EQ(CodecError::unknown_type(0xAB).display(), "unknown type byte: 0xAB");
  EXPECT_EQ(CodecError::unknown_type(0xFF).display(), "unknown type byte: 0xFF");
  EXPECT_EQ(CodecError::unknown_type(0x00).display(), "unknown type byte: 0x00");
}

TEST(CodecErrorText, FixedTexts) {
  EXPECT_EQ(CodecError::unexpected_end().display(), "unexpected end of buffer");
  EXPECT_EQ(CodecError::invalid_utf8().display(), "invalid UTF-8 in text field");
  EXPECT_EQ(CodecError::too_deep().display(), "value nested deeper than 256 levels");
}

TEST(ErrorText, ComposedFromTheInsideOut) {
  EXPECT_EQ(StorageError::key_not_found().display(), "key not found");
  EXPECT_EQ(StorageError::codec(CodecError::unknown_type(0x0D)).display(),
            "codec: unknown type byte: 0x0D");
  EXPECT_EQ(StorageError::io(IoError::unexpected_eof()).display(),
            "io: failed to fill whole buffer");
  EXPECT_EQ(ResolveError::storage(StorageError::key_not_found()).display(),
            "storage: key not found");
  EXPECT_EQ(ResolveError::storage(StorageError::codec(CodecError::invalid_utf8())).display(),
            "storage: codec: invalid UTF-8 in text field");
  EXPECT_EQ(ResolveError::invalid_path("a").display(), "invalid path: a");
  EXPECT_EQ(ResolveError::invalid_path("").display(), "invalid path: ");
  EXPECT_EQ(ResolveError::cyclic_link().display(), "cyclic link detected");
  EXPECT_EQ(ResolveError::field_not_found().display(), "field not found");
}

TEST(ErrorText, IoFixedMessages) {
  EXPECT_EQ(IoError::write_zero_buffered().display(), "failed to write the buffered data");
  EXPECT_EQ(IoError::write_zero().display(), "failed to write whole buffer");
  EXPECT_EQ(IoError::message("invalid utf8 key").display(), "invalid utf8 key");
}

TEST(ErrorText, OsErrorShowsSystemMessageAndCode) {
  EXPECT_EQ(IoError::os(ENOENT).display(), "No such file or directory (os error 2)");
  EXPECT_EQ(StorageError::io(IoError::os(EACCES)).display(), "io: Permission denied (os error 13)");
}

}  // namespace
}  // namespace zez
