#include "RegularFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "UniqueDescriptor.h"

const char* const kNotARegularFile = "it is not a regular file (a link, a pipe or a device has that name)";

std::FILE* CreateRegularFileForWriting(const char* path, std::string& reason) {
  // Looked at before opening, so that opening a device has no effect at all.
  struct stat st;
  if (::lstat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    reason = kNotARegularFile;
    return nullptr;
  }
  // What was looked at may be swapped before the open: the open itself follows no link
  // and does not wait for a FIFO's reader, and what it opened is looked at again.
  UniqueDescriptor fd(
      ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
  if (!fd) {
    reason = errno == ELOOP || errno == ENXIO ? kNotARegularFile : std::strerror(errno);
    return nullptr;
  }
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    reason = kNotARegularFile;
    return nullptr;
  }
  // Emptied only now that it is known to be the file it should be.
  std::FILE* file = nullptr;
  if (::fcntl(fd.get(), F_SETFL, 0) == 0 && ::ftruncate(fd.get(), 0) == 0) file = ::fdopen(fd.get(), "wb");
  if (file == nullptr) {
    reason = std::strerror(errno);
    return nullptr;
  }
  (void)fd.release();  // the stream owns it now
  return file;
}
