#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "DebugOutputHook.h"
#include "WideText.h"
#include "Win32Debug.h"

namespace {

DebugOutputObserver g_observer = nullptr;
void* g_observerContext = nullptr;

// The file is opened for each call: a developer may truncate or move it while the tool
// runs, and one write per call keeps a call's text whole among other appenders.
void AppendToChannelFile(const std::string& utf8) {
  const char* path = std::getenv("MERIDEX_DEBUG_OUTPUT");
  if (path == nullptr || *path == 0 || utf8.empty()) return;
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) return;
  const char* data = utf8.data();
  std::size_t left = utf8.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // a full disk loses the trace, never the caller
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  ::close(fd);
}

}  // namespace

DebugOutputObserver SetDebugOutputObserver(DebugOutputObserver observer, void* context, void** previousContext) {
  const DebugOutputObserver previous = g_observer;
  if (previousContext != nullptr) *previousContext = g_observerContext;
  g_observer = observer;
  g_observerContext = context;
  return previous;
}

void OutputDebugStringW(const char16_t* text) {
  if (text == nullptr) return;
  const int savedErrno = errno;
  const DWORD savedError = GetLastError();
  if (g_observer != nullptr) g_observer(text, g_observerContext);
  AppendToChannelFile(ToUtf8(text));
  SetLastError(savedError);
  errno = savedErrno;
}
