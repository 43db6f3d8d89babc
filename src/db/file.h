// The platform layer: the only code in the engine that talks to the
// operating system about files and directories. Everything above it works
// through these interfaces, so tests can swap in failing or in-memory
// implementations.
//
// Every failure is an IoError: an operating-system code read right after the
// failing call, or one of the engine's fixed messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/errors.h"
#include "codec/result.h"

namespace zez {

// How a file is opened. No mode truncates, and none locks other openers out.
enum class OpenMode {
  AppendCreate,      // write-only, appending, created when missing
  ReadOnly,          // read-only, must exist
  Append,            // write-only, appending, must exist
  ReadAppendCreate,  // read and append, created when missing
};

enum class FileType { Regular, Directory, Other };

class File {
 public:
  virtual ~File() = default;  // closes the file; a close failure is ignored

  // Reads up to n bytes at the current position; 0 means end of file.
  // Retries reads interrupted by a signal.
  virtual Result<size_t, IoError> read(uint8_t* dst, size_t n) = 0;
  // Reads up to n bytes at `offset` without moving the current position.
  virtual Result<size_t, IoError> read_at(uint8_t* dst, size_t n, uint64_t offset) = 0;
  // Writes up to n bytes (appending for the append modes); may write fewer.
  // Retries writes interrupted by a signal.
  virtual Result<size_t, IoError> write(const uint8_t* src, size_t n) = 0;
  // Moves the current position to `offset` from the start.
  virtual Result<Unit, IoError> seek(uint64_t offset) = 0;
  // Moves the current position by `delta` bytes from where it is.
  virtual Result<Unit, IoError> skip(uint64_t delta) = 0;
  virtual Result<uint64_t, IoError> size() = 0;
  // Cuts the file back to `size` bytes (used only to undo a torn append).
  virtual Result<Unit, IoError> truncate(uint64_t size) = 0;
};

// Loops over read() until n bytes are in; an early end of file is
// IoError::unexpected_eof() ("failed to fill whole buffer").
Result<Unit, IoError> read_exact(File& f, uint8_t* dst, size_t n);
// Loops over read_at() likewise.
Result<Unit, IoError> read_exact_at(File& f, uint8_t* dst, size_t n, uint64_t offset);
// Loops over write() until all n bytes are out; a write that accepts no
// bytes fails with `zero_write_error`.
Result<Unit, IoError> write_all(File& f, const uint8_t* src, size_t n,
                                const IoError& zero_write_error);

// A database directory, held open so that files are always opened inside the
// directory that was opened, whatever the process's current directory does
// later.
class Directory {
 public:
  virtual ~Directory() = default;

  // The names of the entries, in the order the system lists them ("." and
  // ".." left out). Names are raw bytes.
  virtual Result<std::vector<std::string>, IoError> list() = 0;
  // Opens the named entry. Never blocks: an entry that is neither a regular
  // file nor a directory (a FIFO, a socket, a device) is refused with an
  // IoError; a directory fails as the system fails it.
  virtual Result<std::unique_ptr<File>, IoError> open(const std::string& name, OpenMode mode) = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;
  // Creates the directory with any missing parents (an existing directory is
  // fine) and opens it.
  virtual Result<std::unique_ptr<Directory>, IoError> open_directory(const std::string& path) = 0;
};

// The real operating system. Lives for the whole process.
Platform& system_platform();

}  // namespace zez
