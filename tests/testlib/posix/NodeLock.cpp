#include "NodeLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

CNodeLock::~CNodeLock() {
  if (m_fd >= 0) close(m_fd);
}

bool CNodeLock::Open(const std::string& path) {
  m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  return m_fd >= 0;
}

bool CNodeLock::Hold(bool exclusive) { return m_fd >= 0 && flock(m_fd, exclusive ? LOCK_EX : LOCK_SH) == 0; }
