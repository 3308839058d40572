#include "ConsoleTesting.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

CStandardErrorCapture::CStandardErrorCapture(const std::string& scratchFile) : m_file(scratchFile) {
  std::fflush(stderr);
  const int fd = ::open(scratchFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  m_savedDescriptor = ::dup(STDERR_FILENO);
  if (m_savedDescriptor >= 0) ::dup2(fd, STDERR_FILENO);
  ::close(fd);
}

void CStandardErrorCapture::Restore() {
  if (m_savedDescriptor < 0) return;
  std::fflush(stderr);
  ::dup2(m_savedDescriptor, STDERR_FILENO);
  ::close(m_savedDescriptor);
  m_savedDescriptor = -1;
}
