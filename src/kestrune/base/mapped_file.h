// A whole file mapped read-only, with readable zero bytes after its end for
// parsers that read past the last byte in wide blocks.
//
// The mapping shares the page cache: mapping a large file costs no copy. It
// shows the file as it is, so whoever truncates it in place while it is
// mapped makes its reader fault; every writer of ours replaces files whole.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "kestrune/base/fs.h"

namespace kestrune::fs {

class MappedFile {
 public:
  // Maps `path` with at least `padding` zero bytes after it. data() is null when
  // the file cannot be mapped (missing, empty, not a regular file): callers
  // then read it the ordinary way, which also reports the error.
  MappedFile(const std::string& path, size_t padding);
  // The same, the pages mapped only as they are read, or by populate(): for
  // a file that may be read in part, or on another thread than this one.
  struct Lazily {};
  MappedFile(const std::string& path, size_t padding, Lazily);
  // The same for `size` bytes of a file already open for reading.
  MappedFile(int fd, size_t size, size_t padding);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const char* data() const { return data_; }
  size_t size() const { return size_; }
  std::string_view text() const { return {data_, size_}; }
  // Maps every page of a lazy mapping now, on the calling thread, far more
  // cheaply than a fault per page; nothing when the kernel cannot.
  void populate() const;
  // The status of the file mapped by path (when data() is not null).
  const FileStat& stat() const { return stat_; }

 private:
  MappedFile(const std::string& path, size_t padding, bool populate);
  void map(int fd, size_t size, size_t padding, bool populate);

  const char* data_ = nullptr;
  size_t size_ = 0, span_ = 0;
  FileStat stat_{};
};

}  // namespace kestrune::fs
