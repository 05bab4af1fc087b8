#include "kestrune/base/mapped_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include "kestrune/base/fs.h"

namespace kestrune::fs {

// An anonymous zeroed region is reserved first and the file mapped over its
// start, so the padding costs no copy of the file. MAP_POPULATE maps every page
// up front: the whole file is read anyway, and one call is far cheaper than a
// fault per page.
MappedFile::MappedFile(const std::string& path, size_t padding) : MappedFile(path, padding, true) {}

MappedFile::MappedFile(const std::string& path, size_t padding, Lazily) : MappedFile(path, padding, false) {}

MappedFile::MappedFile(const std::string& path, size_t padding, bool populate) {
  fs::OpenedFile file;
  try {
    file = open_for_reading(path);
  } catch (const OsError&) {
    return;
  }
  if (file.found != Found::File) return;
  stat_ = file.stat;
  map(file.fd.get(), static_cast<size_t>(file.size), padding, populate);
}

MappedFile::MappedFile(int fd, size_t size, size_t padding) { map(fd, size, padding, true); }

void MappedFile::map(int fd, size_t size, size_t padding, bool populate) {
  if (size == 0) return;
  size_ = size;
  span_ = size_ + padding + static_cast<size_t>(::getpagesize());
  void* area = ::mmap(nullptr, span_, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return;
  void* mapped = ::mmap(area, size_, PROT_READ, MAP_PRIVATE | MAP_FIXED | (populate ? MAP_POPULATE : 0), fd, 0);
  if (mapped == MAP_FAILED)
    ::munmap(area, span_);
  else
    data_ = static_cast<const char*>(mapped);
}

void MappedFile::populate() const {
#ifndef MADV_POPULATE_READ
  constexpr int MADV_POPULATE_READ = 22;  // Linux 5.14; older kernels refuse it, and pages fault in as read
#endif
  if (data_) ::madvise(const_cast<char*>(data_), size_, MADV_POPULATE_READ);
}

MappedFile::~MappedFile() {
  if (data_) ::munmap(const_cast<char*>(data_), span_);
}

}  // namespace kestrune::fs
