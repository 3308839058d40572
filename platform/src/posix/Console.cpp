#include "Console.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "../common/ConsoleLine.h"
#include "HeldSignals.h"
#include "PosixIo.h"
#include "UniqueDescriptor.h"

namespace {

int Descriptor(ConsoleStream stream) { return stream == ConsoleStream::Output ? STDOUT_FILENO : STDERR_FILENO; }

// Reads one byte; false at end of input or on an error.
bool ReadByte(char& c) { return ReadRetrying(STDIN_FILENO, &c, 1) == 1; }

// The terminal's mode while the pause waits for a single key. Whatever ends the process
// during the wait, a job stop included, gives the operator's terminal back as it was;
// a continued job takes the single-key mode again.
termios g_savedMode;
termios g_keyMode;
volatile sig_atomic_t g_modeChanged = 0;

void RestoreMode() {
  if (g_modeChanged) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_savedMode);
    g_modeChanged = 0;
  }
}

// The flag goes up first: a signal that comes while the mode changes must still find
// that it may have changed (restoring a mode that did not change is harmless).
void SetKeyMode() {
  g_modeChanged = 1;
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &g_keyMode) != 0) g_modeChanged = 0;
}

// Every signal whose default action ends the process.
constexpr int kEndingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGALRM,   SIGUSR1, SIGUSR2, SIGPIPE,
                                  SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGABRT, SIGSEGV,  SIGBUS,  SIGFPE,
                                  SIGILL,  SIGTRAP, SIGSYS};
constexpr int kHandledSignals = sizeof kEndingSignals / sizeof kEndingSignals[0] + 2;

// Gives the terminal back, then lets the signal do what it would have done: it is
// delivered with its default action once this handler returns.
void RestoreAndReraise(int sig) {
  const int saved = errno;
  RestoreMode();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
  errno = saved;
}

void OnContinue(int) {
  const int saved = errno;
  struct sigaction stop = {};
  stop.sa_handler = RestoreAndReraise;
  ::sigaction(SIGTSTP, &stop, nullptr);
  // Only the foreground job may change the terminal; one continued in the background
  // is stopped again by its first read, and takes the mode when it is brought back.
  if (::tcgetpgrp(STDIN_FILENO) == ::getpgrp()) SetKeyMode();
  errno = saved;
}

// Installs the handlers for the length of the pause; signals that were ignored (nohup)
// stay ignored.
class CPauseSignals {
 public:
  CPauseSignals() {
    // A stop (Ctrl+Z) is an ending for now: the shell gets its terminal back.
    struct sigaction restore = {};
    restore.sa_handler = RestoreAndReraise;
    for (int sig : kEndingSignals) Install(sig, restore);
    Install(SIGTSTP, restore);
    struct sigaction resume = {};
    resume.sa_handler = OnContinue;
    Install(SIGCONT, resume);
  }
  ~CPauseSignals() {
    for (int i = 0; i < m_count; ++i) ::sigaction(m_signals[i], &m_previous[i], nullptr);
  }
  CPauseSignals(const CPauseSignals&) = delete;
  CPauseSignals& operator=(const CPauseSignals&) = delete;

 private:
  void Install(int sig, const struct sigaction& action) {
    struct sigaction previous;
    if (::sigaction(sig, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) return;
    if (::sigaction(sig, &action, nullptr) != 0) return;
    m_signals[m_count] = sig;
    m_previous[m_count++] = previous;
  }

  int m_signals[kHandledSignals] = {};
  struct sigaction m_previous[kHandledSignals];
  int m_count = 0;
};

// Takes one key press: the bytes of an escape sequence, a multi-byte character or a paste
// arrive together, so everything that comes within a moment of the first byte belongs to
// it, and what is still queued after that is discarded too.
void ReadKey() {
  char bytes[256];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
    if (n > 0) break;
    if (n == 0 || errno != EINTR) return;
  }
  constexpr int kQuietMilliseconds = 30;
  for (int rounds = 0; rounds < 64; ++rounds) {
    pollfd in = {STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&in, 1, kQuietMilliseconds);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || ::read(STDIN_FILENO, bytes, sizeof bytes) <= 0) break;
  }
  ::tcflush(STDIN_FILENO, TCIFLUSH);
}

// How long the rest of a paste may take to arrive after the answer line.
constexpr useconds_t kPasteSettleMicroseconds = 50000;

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

}  // namespace

const char* const kTextLineEnd = "\n";
const char* const kConsoleEraseBelow = "\x1b[J";

void ConsolePrepareProcess() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (IsOpen(fd)) continue;
    // The lowest free descriptor is this one, since those below it are open by now.
    UniqueDescriptor null(::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY));
    if (null.get() == fd) {
      (void)null.release();  // it is the standard descriptor now, and stays open
    } else if (null) {
      ::dup2(null.get(), fd);
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  // A file-size limit (ulimit -f) then fails the write that passes it with EFBIG, which
  // the run reports like a full disk, instead of ending the process without a word.
  std::signal(SIGXFSZ, SIG_IGN);
}

bool ConsoleWriteUtf8(ConsoleStream stream, std::string_view utf8) {
  return WriteFully(Descriptor(stream), utf8.data(), utf8.size());
}

bool ConsoleIsTerminal(ConsoleStream stream) { return ::isatty(Descriptor(stream)) == 1; }

void ConsoleDiscardTypeAhead() {
  if (::isatty(STDIN_FILENO) == 1) ::tcflush(STDIN_FILENO, TCIFLUSH);
}

bool ConsoleReadLine(std::string& line) {
  const bool read = ReadAnswerLine(line, ReadByte);
  if (::isatty(STDIN_FILENO) == 1) {
    // What is typed or pasted after the answer is not the shell's to run once the tool
    // has gone: the rest of a long line, further lines of a paste. A paste reaches the
    // terminal in pieces, so what comes within a moment is discarded too.
    ::tcflush(STDIN_FILENO, TCIFLUSH);
    ::usleep(kPasteSettleMicroseconds);
    ::tcflush(STDIN_FILENO, TCIFLUSH);
  }
  return read;
}

std::size_t ConsoleColumns(ConsoleStream stream) {
  winsize size = {};
  if (::ioctl(Descriptor(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

bool ConsoleCanTakeOutputNow(ConsoleStream stream) {
  // A terminal stopped by Ctrl+S (XOFF), or a pipe that nobody reads, reports no room.
  pollfd out = {Descriptor(stream), POLLOUT, 0};
  return ::poll(&out, 1, 0) == 1 && (out.revents & POLLOUT) != 0;
}

void ConsolePause() {
  static constexpr std::string_view kPrompt = "Press any key to continue . . . ";
  WriteFully(STDOUT_FILENO, kPrompt.data(), kPrompt.size());
  if (::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &g_savedMode) == 0) {
    g_keyMode = g_savedMode;
    g_keyMode.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    g_keyMode.c_cc[VMIN] = 1;
    g_keyMode.c_cc[VTIME] = 0;
    std::optional<CPauseSignals> signals(std::in_place);
    SetKeyMode();
    ReadKey();
    // A job continued between the restoring and the removal of the handlers would take
    // the single-key mode again, for good: the answer would then be typed unseen.
    CHeldSignals held;
    RestoreMode();
    signals.reset();
  } else {
    // Like cmd.exe's pause on a pipe: one byte is taken; at end of input it goes on.
    char c;
    ReadByte(c);
  }
  WriteFully(STDOUT_FILENO, "\n", 1);
}
