#include "kestrune/br/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::br {

// An anonymous zeroed region is reserved first and the file mapped over its
// start, so the padding costs no copy of the file. MAP_POPULATE maps every page
// up front: the whole file is read anyway, and one call is far cheaper than a
// fault per page.
MappedFile::MappedFile(const std::string& path, size_t padding) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    size_ = static_cast<size_t>(st.st_size);
    span_ = size_ + padding + static_cast<size_t>(::getpagesize());
    void* area = ::mmap(nullptr, span_, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area != MAP_FAILED) {
      void* file = ::mmap(area, size_, PROT_READ, MAP_PRIVATE | MAP_FIXED | MAP_POPULATE, fd, 0);
      if (file == MAP_FAILED)
        ::munmap(area, span_);
      else
        data_ = static_cast<const char*>(file);
    }
  }
  ::close(fd);
}

MappedFile::~MappedFile() {
  if (data_) ::munmap(const_cast<char*>(data_), span_);
}

}  // namespace kestrune::br
