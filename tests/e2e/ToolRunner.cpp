#include "ToolRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "TestRegistry.h"
#include "TestSupport.h"

namespace e2e {

namespace {

std::string WineRun() { return std::string(MERIDEX_SOURCE_DIR) + "/cmake/wine-run"; }

// Runs argv with the given environment additions; returns the exit status.
int RunQuiet(const std::vector<std::string>& argv) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ToolTarget TargetFromEnvironment() {
  ToolTarget target;
  target.path = testing_support::Env("MERIDEX_E2E_TOOL");
  if (target.path.empty()) throw std::runtime_error("MERIDEX_E2E_TOOL does not name the tool to test");
  if (access(target.path.c_str(), R_OK) != 0) throw std::runtime_error("the tool is not there: " + target.path);
  target.windows = target.path.size() > 4 && target.path.compare(target.path.size() - 4, 4, ".exe") == 0;
  return target;
}

ToolTarget LinuxToolFromEnvironment() {
  ToolTarget target;
  target.path = testing_support::Env("MERIDEX_E2E_LINUX_TOOL");
  if (target.path.empty() || access(target.path.c_str(), X_OK) != 0) {
    throw std::runtime_error("MERIDEX_E2E_LINUX_TOOL does not name the Linux build's tool: " + target.path);
  }
  return target;
}

ToolTarget SiblingTarget(const ToolTarget& tool, const std::string& name) {
  ToolTarget sibling = tool;
  const std::size_t slash = tool.path.find_last_of('/');
  sibling.path = (slash == std::string::npos ? std::string() : tool.path.substr(0, slash + 1)) + name +
                 (tool.windows ? ".exe" : "");
  if (access(sibling.path.c_str(), R_OK) != 0) throw std::runtime_error("not built beside the tool: " + sibling.path);
  return sibling;
}

std::string RegString(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

namespace {

std::string WriteRegistryAt(const std::string& path, const std::string& body) {
  testing_support::WriteFileBytes(path, "Windows Registry Editor Version 5.00\r\n\r\n" + body);
  testing_support::RestrictToOwner(path);  // as the Linux tool asks of it
  return path;
}

}  // namespace

std::string WriteRegistryFile(const std::string& dir, const std::string& body) {
  return WriteRegistryAt(dir + "/meridex.reg", body);
}

std::string WriteConnectionRegistry(const std::string& dir, const std::string& connection) {
  return WriteRegistryFile(dir, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Talvora\\Meridex_4\\Database]\r\n\"MSSQLConnectString\"=\"" +
                                    RegString(connection) + "\"\r\n");
}

std::string LineEnds(const ToolTarget& target, const std::string& text) {
  if (!target.windows) return text;
  std::string out;
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

void PrepareRegistry(const ToolTarget& target, const std::string& registryFile) {
  if (!target.windows) return;  // the Linux tool reads the file named in its environment
  // Importing costs two Wine starts: skip it when Wine's registry holds these keys already
  // (every change to it in this process goes through here).
  static std::optional<std::string> imported;
  const std::string wanted = registryFile.empty() ? std::string() : "\x01" + testing_support::ReadFileBytes(registryFile);
  if (imported == wanted) return;
  imported.reset();
  // Wine's registry: remove what an earlier test left, then import this test's keys.
  testing_support::TempDir dir;
  const std::string wipe = dir.File("wipe.reg");
  testing_support::WriteFileBytes(wipe, "Windows Registry Editor Version 5.00\r\n\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Talvora]\r\n");
  // NOTE: regedit now and then answers 1 while Wine is busy; a second try succeeds.
  auto import = [](const std::string& file) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (RunQuiet({WineRun(), "regedit", "/S", file}) == 0) return true;
      usleep(300000);
    }
    return false;
  };
  if (!import(wipe)) throw std::runtime_error("regedit could not clear the key");
  if (!registryFile.empty() && !import(registryFile)) throw std::runtime_error("regedit could not import " + registryFile);
  imported = wanted;
}

namespace {

pid_t g_tool = -1;
int g_terminal = -1;

// The terminal a terminal run gives the tool, and the side the test talks through. The
// test keeps the tool's side open too, so that its mode can still be read after the tool
// has gone (the last close would reset it).
struct Terminal {
  int master = -1;
  int slave = -1;
};

}  // namespace

int RunningTool() { return g_tool; }
int RunningTerminal() { return g_terminal; }

namespace {

// Whatever the terminal still holds for a reader, lines begun included.
std::string UnreadInput(int terminal) {
  termios mode;
  if (tcgetattr(terminal, &mode) != 0) return std::string();
  mode.c_lflag &= static_cast<tcflag_t>(~ICANON);
  mode.c_cc[VMIN] = 0;
  mode.c_cc[VTIME] = 0;
  if (tcsetattr(terminal, TCSANOW, &mode) != 0) return std::string();
  std::string left;
  char buffer[4096];
  ssize_t n;
  while ((n = read(terminal, buffer, sizeof buffer)) > 0) left.append(buffer, static_cast<std::size_t>(n));
  return left;
}

}  // namespace

bool IsCooked(int terminal) {
  termios mode;
  return tcgetattr(terminal, &mode) == 0 && (mode.c_lflag & ICANON) != 0 && (mode.c_lflag & ECHO) != 0;
}

bool WaitUntilStopped(int pid) {
  for (int i = 0; i < 250; ++i) {
    const std::string stat = testing_support::ReadFileBytes("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t end = stat.rfind(')');
    if (end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'T') return true;
    usleep(20000);
  }
  return false;
}

bool WaitUntilWriting(int pid) {
  // The system call the process sleeps in, by number: 1 is write on x86-64.
  for (int i = 0; i < 500; ++i) {
    if (testing_support::ReadFileBytes("/proc/" + std::to_string(pid) + "/syscall").rfind("1 ", 0) == 0) return true;
    usleep(20000);
  }
  return false;
}

std::string WriteAsAnotherSession(testing_support::TestDatabase& db) {
  using testing_support::Backend;
  _SQL_Error error;
  const auto run = [&](CODBCDatabase& connection, const char16_t* sql) {
    return connection.Execute(sql, error) != 0 ? std::string() : testing_support::Narrow(error.message);
  };
  if (db.Kind() == Backend::SQLite) {
    // A busy timeout of 1 s, which the driver waits twice.
    CODBCDatabase other;
    const std::u16string connection = db.ConnectionString() + u"Timeout=1000;";
    if (other.DriverConnect(connection.c_str(), nullptr, nullptr, sqlNoPrompt) == 0) {
      (void)other.GetError(error);
      return testing_support::Narrow(error.message);
    }
    return run(other, u"UPDATE FileTree SET FileData = NULL WHERE FileID = 3");
  }
  CODBCDatabase& same = db.Connection();
  if (db.Kind() == Backend::MariaDB) {
    (void)run(same, u"SET SESSION innodb_lock_wait_timeout = 2");
    return run(same, u"UPDATE FileTree SET FileData = NULL WHERE FileID = 3");
  }
  (void)run(same, u"SET lock_timeout = '2s'");
  if (same.BeginTransaction(error) == 0) return testing_support::Narrow(error.message);
  const std::string locked = run(same, u"LOCK TABLE FileTree IN ACCESS EXCLUSIVE MODE");
  (void)same.EndTransaction(false, error);
  return locked;
}

namespace {
RunResult RunToolOnce(const ToolTarget& target, const RunOptions& options);
}  // namespace

RunResult RunTool(const ToolTarget& target, const RunOptions& options) {
  RunResult result = RunToolOnce(target, options);
  // NOTE: under load, Wine now and then fails to start a program at all: it ends with
  // status 1 before the program wrote a byte (the tool's first line is its banner). That
  // is no run of the tool's; it is tried once more. So is a run whose pause never
  // happened: the tool went past its warning, but the command processor that pauses it
  // did not start or say a word, and the key meant for the pause was taken as the answer.
  const bool notStarted = result.status == 1 && result.out.empty() && result.err.empty();
  const bool notPaused = result.out.find("must be restarted.") != std::string::npos &&
                         result.out.find("Press any key to continue") == std::string::npos;
  if (target.windows && (notStarted || notPaused)) {
    std::cerr << "note: Wine " << (notStarted ? "did not start the tool" : "did not pause it") << "; tried once more\n";
    result = RunToolOnce(target, options);
  }
  return result;
}

namespace {
RunResult RunToolOnce(const ToolTarget& target, const RunOptions& options) {
  PrepareRegistry(target, options.registryFile);
  // The Linux tool reads its registry from this file: without one, a registry without keys.
  const std::string registry = options.registryFile.empty() ? WriteRegistryAt(options.workDir + "/no-keys.reg", "")
                                                               : options.registryFile;
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  Terminal terminal;
  int jobPipe[2] = {-1, -1};
  if (options.terminal) {
    winsize size = {};
    size.ws_col = options.columns;
    size.ws_row = options.columns != 0 ? 24 : 0;
    if (openpty(&terminal.master, &terminal.slave, nullptr, nullptr, &size) != 0 || pipe(jobPipe) != 0) {
      throw std::runtime_error("openpty failed");
    }
  } else if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const passwd* account = options.user.empty() ? nullptr : getpwnam(options.user.c_str());
  if (!options.user.empty() && account == nullptr) throw std::runtime_error("no user " + options.user);
  const pid_t pid = fork();
  if (pid == 0) {
    if (options.terminal) {
      // This process is the shell: a session with the terminal as its controlling one,
      // and the tool its foreground job (a job of a shell's, so a stop is not discarded
      // as it would be for a job without one). It reports the tool's process, waits for
      // it, and ends the way the tool ended.
      setsid();
      ioctl(terminal.slave, TIOCSCTTY, 0);
      close(terminal.master);
      const pid_t job = fork();
      if (job != 0) {
        setpgid(job, job);
        tcsetpgrp(terminal.slave, job);
        ssize_t ignored = write(jobPipe[1], &job, sizeof job);
        (void)ignored;
        int status = 0;
        while (waitpid(job, &status, 0) != job) {
        }
        if (WIFSIGNALED(status)) {
          struct rlimit none = {0, 0};
          setrlimit(RLIMIT_CORE, &none);
          signal(WTERMSIG(status), SIG_DFL);
          kill(getpid(), WTERMSIG(status));
        }
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 127);
      }
      setpgid(0, 0);
      // Where the shell has not yet made it the foreground job, it waits until it is.
      signal(SIGTTOU, SIG_IGN);
      tcsetpgrp(terminal.slave, getpgrp());
      signal(SIGTTOU, SIG_DFL);
      for (int fd : {0, 1, 2}) dup2(terminal.slave, fd);
      close(terminal.slave);
      close(jobPipe[0]);
      close(jobPipe[1]);
    } else {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    }
    if (!options.inputFile.empty()) {
      const int file = open(options.inputFile.c_str(), O_RDONLY);
      if (file < 0) _exit(125);
      dup2(file, 0);
      close(file);
    }
    for (int fd : options.closedDescriptors) close(fd);
    if (chdir(options.workDir.c_str()) != 0) _exit(126);
    if (account != nullptr && (setgroups(0, nullptr) != 0 || setgid(account->pw_gid) != 0 || setuid(account->pw_uid) != 0)) {
      _exit(124);
    }
    setenv("MERIDEX_REGISTRY", registry.c_str(), 1);
    // The tool starts with the dispositions and the signal mask a shell gives it, whatever
    // this process has: a signal that would end it (a closed pipe, a file-size limit)
    // must be the tool's own concern.
    for (int sig = 1; sig < NSIG; ++sig) {
      if (sig != SIGKILL && sig != SIGSTOP) signal(sig, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // The tests make the tool fault on purpose: no core file may land in its directory.
    const struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    if (options.fileSizeLimit >= 0) {
      struct rlimit limit = {static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
      // NOTE: Windows has no file-size signal, and a Windows program cannot change a POSIX
      // disposition; Wine leaves the one it was started with, and by default the signal
      // ends Wine (measured: status 153, the previous list intact, the new file left
      // behind). The Windows build is given what Windows gives it at a limit: a failed write.
      if (target.windows) signal(SIGXFSZ, SIG_IGN);
    }
    if (options.addressSpaceLimit >= 0) {
      // Memory running out, as the tool sees it: allocations past the limit fail.
      struct rlimit limit = {static_cast<rlim_t>(options.addressSpaceLimit), static_cast<rlim_t>(options.addressSpaceLimit)};
      setrlimit(RLIMIT_AS, &limit);
    }
    if (target.windows) {
      const std::string wine = WineRun();
      execl(wine.c_str(), wine.c_str(), target.path.c_str(), static_cast<char*>(nullptr));
    } else if (!testing_support::Env("MERIDEX_E2E_VALGRIND").empty()) {
      // memcheck: any error, or a leak that is certainly ours to free, fails the run.
      const std::string suppressions = std::string("--suppressions=") + MERIDEX_SOURCE_DIR + "/tests/e2e/valgrind.supp";
      execlp("valgrind", "valgrind", "--quiet", "--error-exitcode=99", "--leak-check=full", suppressions.c_str(),
             "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite", target.path.c_str(),
             static_cast<char*>(nullptr));
    } else {
      execl(target.path.c_str(), target.path.c_str(), static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  g_tool = pid;
  if (options.terminal) {
    close(jobPipe[1]);
    pid_t job = -1;
    if (read(jobPipe[0], &job, sizeof job) == sizeof job) g_tool = job;
    close(jobPipe[0]);
  }
  g_terminal = terminal.slave;
  int writeEnd = options.terminal ? terminal.master : in[1];
  if (!options.terminal) {
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (options.closedOutputs) {
      close(out[0]);
      close(err[0]);
      out[0] = err[0] = -1;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  RunResult result;
  auto send = [&](const std::string& text) {
    if (!text.empty() && writeEnd >= 0) {
      ssize_t ignored = write(writeEnd, text.data(), text.size());
      (void)ignored;
    }
  };
  auto endInput = [&]() {
    // A terminal has no end of input: it stays open until the tool is gone.
    if (!options.terminal && writeEnd >= 0) close(writeEnd);
    if (!options.terminal) writeEnd = -1;
  };
  std::size_t step = 0;
  auto advance = [&]() {
    // Runs every step whose cue has appeared; after the last one, end of input.
    while (step < options.steps.size() && result.out.find(options.steps[step].waitFor) != std::string::npos) {
      if (options.steps[step].action) options.steps[step].action();
      if (options.steps[step].kill) kill(pid, SIGKILL);
      send(options.steps[step].input);
      ++step;
    }
    if (step == options.steps.size()) endInput();
  };

  // Without a conversation, all input at once (it is small), then end of input.
  if (options.steps.empty()) {
    if (options.inputFile.empty()) send(options.input);
    endInput();
  } else {
    advance();
  }
  struct pollfd fds[2] = {{options.terminal ? terminal.master : out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
  int open = (fds[0].fd >= 0 ? 1 : 0) + (fds[1].fd >= 0 ? 1 : 0);
  // A terminal, or outputs nobody reads, never report their end: the tool's exit does.
  const bool endsWithExit = options.terminal || options.closedOutputs;
  int status = 0;
  struct rusage usage = {};
  bool exited = false;
  while (open > 0 || (endsWithExit && !exited)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    const int wait = endsWithExit ? static_cast<int>(std::min<long long>(left.count(), 50)) : static_cast<int>(left.count());
    const int ready = poll(fds, 2, wait);
    if (ready < 0) continue;
    bool any = false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[65536];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        any = true;
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
        if (i == 0) advance();
      } else if (!options.terminal) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
    if (endsWithExit && !exited && !any && wait4(pid, &status, WNOHANG, &usage) == pid) {
      exited = true;
      if (options.terminal) break;  // everything it wrote was read: nothing came in this round
    }
  }
  if (!exited) wait4(pid, &status, 0, &usage);
  if (options.terminal) {
    // Read before the test's side is closed, which hangs the terminal up.
    result.terminalCooked = IsCooked(terminal.slave);
    result.unreadInput = UnreadInput(terminal.slave);
    close(terminal.slave);
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  if (writeEnd >= 0 && !options.terminal) close(writeEnd);  // a terminal's was fds[0]
  g_tool = -1;
  g_terminal = -1;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.peakKiB = usage.ru_maxrss;
  return result;
}

std::string RunCaptured(const std::string& script) {
  std::string out;
  std::FILE* pipe = popen(script.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run: " + script);
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  if (pclose(pipe) != 0) throw std::runtime_error("failed: " + script + "\n" + out);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string LibScript() { return std::string("source '") + MERIDEX_SOURCE_DIR + "/scripts/lib.sh'; "; }

}  // namespace

PrivateCluster::PrivateCluster(testing_support::Backend backend, int port) : m_backend(backend), m_port(port) {
  const std::string p = std::to_string(port);
  m_dir = RunCaptured(Script(m_backend == testing_support::Backend::MariaDB
                                 ? "MARIA_PORT=" + p + "; maria_start >&2 && echo \\$MARIA_DIR"
                                 : "MERIDEX_PG_PORT=" + p + "; PG_PORT=" + p + "; pg_start >&2 && echo \\$PG_DIR"));
}

PrivateCluster::~PrivateCluster() {
  try {
    RunCaptured(Script(m_backend == testing_support::Backend::MariaDB ? "MARIA_DIR='" + m_dir + "'; maria_stop"
                                                                      : "PG_DIR='" + m_dir + "'; pg_stop"));
  } catch (...) {
  }
}

std::string PrivateCluster::Script(const std::string& action) const {
  return "bash -c \"" + LibScript() + action + "\"";
}

void PrivateCluster::Stop() {
  RunCaptured(Script((m_backend == testing_support::Backend::MariaDB ? "maria" : "pg") + std::string("_cluster '") +
                     m_dir + "' stop"));
}

void PrivateCluster::Start() {
  RunCaptured(Script((m_backend == testing_support::Backend::MariaDB ? "maria" : "pg") + std::string("_cluster '") +
                     m_dir + "' start"));
}

std::string PrivateCluster::Connection() const {
  const std::string driver =
      m_backend == testing_support::Backend::MariaDB ? "{MariaDB Unicode}" : "{PostgreSQL Unicode}";
  return "Driver=" + driver + ";Server=127.0.0.1;Port=" + std::to_string(m_port) +
         ";Uid=meridex;Pwd=meridex-test-pw;";
}

}  // namespace e2e
