#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "DebugOutputHook.h"
#include "PosixIo.h"
#include "UniqueDescriptor.h"
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
  const UniqueDescriptor fd(::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644));
  if (!fd) return;
  // A full disk loses the trace, never the caller.
  (void)WriteFully(fd.get(), utf8.data(), utf8.size());
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
