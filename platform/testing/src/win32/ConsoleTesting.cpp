#include "ConsoleTesting.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "Win32Types.h"

CStandardErrorCapture::CStandardErrorCapture(const std::string& scratchFile) : m_file(scratchFile) {
  std::fflush(stderr);
  const int fd = ::_open(scratchFile.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return;
  m_savedDescriptor = ::_dup(2);
  if (m_savedDescriptor >= 0) {
    m_savedHandle = ::GetStdHandle(STD_ERROR_HANDLE);
    ::_dup2(fd, 2);
    // The console functions write through the process's handle, which _dup2 need not move.
    ::SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(::_get_osfhandle(2)));
  }
  ::_close(fd);
}

void CStandardErrorCapture::Restore() {
  if (m_savedDescriptor < 0) return;
  std::fflush(stderr);
  ::_dup2(m_savedDescriptor, 2);
  ::SetStdHandle(STD_ERROR_HANDLE, static_cast<HANDLE>(m_savedHandle));
  ::_close(m_savedDescriptor);
  m_savedDescriptor = -1;
}
