#include "RegularFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../common/TemporaryName.h"
#include "UniqueDescriptor.h"

const char* const kNotARegularFile = "it is not a regular file (a link, a pipe or a device has that name)";

namespace {

constexpr int kNameAttempts = 100;

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string SystemReason(int error) { return std::strerror(error); }

}  // namespace

struct CReplacementFile::Handles {
  UniqueDescriptor file;
  UniqueDescriptor directory;
};

CReplacementFile::CReplacementFile() : m_handles(std::make_unique<Handles>()) {}

CReplacementFile::~CReplacementFile() { Abandon(); }

bool CReplacementFile::Fail(const std::string& reason) {
  m_reason = reason;
  Abandon();
  return false;
}

void CReplacementFile::Abandon() {
  if (m_committed) return;
  m_handles->file.reset();
  m_handles->directory.reset();
  if (!m_temporary.empty()) (void)::unlink(m_temporary.c_str());
  m_temporary.clear();
}

bool CReplacementFile::Create(const char* path) {
  Abandon();
  m_handles->file.reset();
  m_path = path != nullptr ? path : "";
  m_reason.clear();
  m_written = 0;
  m_committed = false;
  // What the name holds now is only looked at: it is never opened, so a device or a FIFO
  // there has no effect at all, and the rename that replaces it does not follow a link.
  struct stat st;
  if (::lstat(m_path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return Fail(SystemReason(EISDIR));
    if (!S_ISREG(st.st_mode)) return Fail(kNotARegularFile);
    // A file that nobody may write was made read-only on purpose: it is kept, as Windows
    // keeps a file with the read-only attribute.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return Fail(SystemReason(EACCES));
  } else if (errno != ENOENT) {
    return Fail(SystemReason(errno));
  }
  // Opened now, so that once the rename is done nothing can fail but the flush itself. A
  // directory that one may write but not read (mode -wx) cannot be opened to be flushed:
  // the list is written there all the same, as any program would.
  m_handles->directory.reset(::open(DirectoryOf(m_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!m_handles->directory && errno != EACCES) return Fail(SystemReason(errno));
  // A new name of our own, made only if nothing has it (not even a dangling link).
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string name = TemporaryNameBeside(m_path, static_cast<unsigned long>(::getpid()), attempt);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd >= 0) {
      m_handles->file.reset(fd);
      m_temporary = name;
      return true;
    }
    if (errno != EEXIST) return Fail(SystemReason(errno));
  }
  return Fail(SystemReason(EEXIST));
}

bool CReplacementFile::Write(const char* data, std::size_t size) {
  if (!m_handles->file || m_committed) return Fail(SystemReason(EBADF));
  while (size > 0) {
    const ssize_t n = ::write(m_handles->file.get(), data, size);
    if (n < 0 && errno == EINTR) continue;
    // A regular file takes at least one byte or says why not; no progress at all is
    // taken as the device's failure rather than waited on.
    if (n <= 0) return Fail(SystemReason(n < 0 ? errno : EIO));
    data += n;
    size -= static_cast<std::size_t>(n);
    m_written += static_cast<uint64_t>(n);
  }
  return true;
}

bool CReplacementFile::Commit() {
  if (!m_handles->file || m_committed) return Fail(SystemReason(EBADF));
  if (::fsync(m_handles->file.get()) != 0) return Fail(SystemReason(errno));
  if (::rename(m_temporary.c_str(), m_path.c_str()) != 0) return Fail(SystemReason(errno));
  m_committed = true;
  m_temporary.clear();
  // The new name is on disk once the directory is.
  // NOTE: a few file systems cannot flush a directory and say EINVAL; what they keep of
  // a rename is up to them, and there is nothing more to ask of them.
  const bool flushed = !m_handles->directory || ::fsync(m_handles->directory.get()) == 0 || errno == EINVAL;
  if (!flushed) m_reason = SystemReason(errno);
  m_handles->directory.reset();
  return flushed;
}

bool CReplacementFile::IsInPlace() {
  struct stat mine, named;
  if (!m_committed || ::fstat(m_handles->file.get(), &mine) != 0) {
    m_reason = "it was never written";
    return false;
  }
  // A file that the name leads to has a link left, so identity says all: a file whose
  // last name was removed (st_nlink 0) is never the one found.
  if (::lstat(m_path.c_str(), &named) != 0) {
    m_reason = "it is no longer there";
  } else if (named.st_dev != mine.st_dev || named.st_ino != mine.st_ino) {
    m_reason = "another file has its name now";
  } else if (static_cast<uint64_t>(mine.st_size) != m_written) {
    m_reason = "it was changed since it was written";
  } else {
    return true;
  }
  return false;
}
