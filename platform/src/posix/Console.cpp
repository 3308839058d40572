#include "Console.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace {

int Descriptor(ConsoleStream stream) { return stream == ConsoleStream::Output ? STDOUT_FILENO : STDERR_FILENO; }

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Reads one byte; false at end of input or on an error.
bool ReadByte(char& c) {
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n == 1) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

// The terminal's mode while the pause waits for a single key; restored on every way out,
// also when a signal ends the process during the wait.
termios g_savedMode;
volatile sig_atomic_t g_modeChanged = 0;

void RestoreMode() {
  if (g_modeChanged) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_savedMode);
    g_modeChanged = 0;
  }
}

void RestoreAndReraise(int sig) {
  RestoreMode();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

}  // namespace

const char* const kTextLineEnd = "\n";

bool ConsoleWriteUtf8(ConsoleStream stream, std::string_view utf8) {
  return WriteAll(Descriptor(stream), utf8.data(), utf8.size());
}

bool ConsoleIsTerminal(ConsoleStream stream) { return ::isatty(Descriptor(stream)) == 1; }

bool ConsoleReadLine(std::string& line) {
  line.clear();
  char c;
  bool any = false;
  while (ReadByte(c)) {
    any = true;
    if (c == '\n') return true;
    line.push_back(c);
  }
  return any;
}

void ConsolePause() {
  static constexpr std::string_view kPrompt = "Press any key to continue . . . ";
  WriteAll(STDOUT_FILENO, kPrompt.data(), kPrompt.size());
  char c;
  if (::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &g_savedMode) == 0) {
    termios raw = g_savedMode;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    struct sigaction action = {};
    action.sa_handler = RestoreAndReraise;
    struct sigaction oldInt, oldTerm, oldHup;
    sigaction(SIGINT, &action, &oldInt);
    sigaction(SIGTERM, &action, &oldTerm);
    sigaction(SIGHUP, &action, &oldHup);
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) g_modeChanged = 1;
    ReadByte(c);
    RestoreMode();
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGHUP, &oldHup, nullptr);
  } else {
    // Like cmd.exe's pause on a pipe: one byte is taken; at end of input it goes on.
    ReadByte(c);
  }
  WriteAll(STDOUT_FILENO, "\n", 1);
}
