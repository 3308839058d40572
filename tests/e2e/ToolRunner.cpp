#include "ToolRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <stdexcept>

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

std::string WriteRegistryFile(const std::string& dir, const std::string& body) {
  const std::string path = dir + "/meridex.reg";
  testing_support::WriteFileBytes(path, "Windows Registry Editor Version 5.00\r\n\r\n" + body);
  return path;
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
}

RunResult RunTool(const ToolTarget& target, const RunOptions& options) {
  PrepareRegistry(target, options.registryFile);
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    if (chdir(options.workDir.c_str()) != 0) _exit(126);
    // The Linux tool reads its registry from this file; a missing file is an empty registry.
    const std::string registry = options.registryFile.empty() ? options.workDir + "/no-registry.reg" : options.registryFile;
    setenv("MERIDEX_REGISTRY", registry.c_str(), 1);
    if (options.fileSizeLimit >= 0) {
      // A full disk, as the tool sees it: writes past the limit fail with EFBIG.
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
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
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  RunResult result;
  auto send = [&](const std::string& text) {
    if (!text.empty() && in[1] >= 0) {
      ssize_t ignored = write(in[1], text.data(), text.size());
      (void)ignored;
    }
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
    if (step == options.steps.size() && in[1] >= 0) {
      close(in[1]);
      in[1] = -1;
    }
  };

  // Without a conversation, all input at once (it is small), then end of input.
  if (options.steps.empty()) {
    send(options.input);
    close(in[1]);
    in[1] = -1;
  } else {
    advance();
  }
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
  int open = 2;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[65536];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
        if (i == 0) advance();
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  if (in[1] >= 0) close(in[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

namespace {

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

PrivateCluster::PrivateCluster(int port) : m_port(port) {
  m_dir = RunCaptured("bash -c \"" + LibScript() + "MERIDEX_PG_PORT=" + std::to_string(port) +
                      "; PG_PORT=" + std::to_string(port) + "; pg_start >&2 && echo \\$PG_DIR\"");
}

PrivateCluster::~PrivateCluster() {
  try {
    RunCaptured("bash -c \"" + LibScript() + "PG_DIR='" + m_dir + "'; pg_stop\"");
  } catch (...) {
  }
}

void PrivateCluster::Stop() { RunCaptured("bash -c \"" + LibScript() + "pg_cluster '" + m_dir + "' stop\""); }

void PrivateCluster::Start() { RunCaptured("bash -c \"" + LibScript() + "pg_cluster '" + m_dir + "' start\""); }

std::string PrivateCluster::Connection() const {
  return "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + std::to_string(m_port) +
         ";Uid=meridex;Pwd=meridex-test-pw;";
}

}  // namespace e2e
