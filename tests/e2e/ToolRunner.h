#pragma once
// Runs the built tool as an operator would: in a working directory of its own, with its
// registry prepared, standard input piped from a string, and both output streams captured.
// The same harness drives the Linux executable and the Windows one under Wine, which is
// what $MERIDEX_E2E_TOOL names (a path ending in ".exe" runs through cmake/wine-run).

#include <functional>
#include <string>
#include <vector>

#include "Databases.h"

namespace e2e {

struct ToolTarget {
  std::string path;
  bool windows = false;
};

ToolTarget TargetFromEnvironment();
// The Linux build's tool, for a Windows run that needs a second operator beside Wine's
// one registry ($MERIDEX_E2E_LINUX_TOOL).
ToolTarget LinuxToolFromEnvironment();
// Another executable of the same build, beside the tool: `name` without ".exe".
ToolTarget SiblingTarget(const ToolTarget& tool, const std::string& name);

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // the exit status; -1 when it did not exit normally (signal, time-out)
  int signal = 0;   // the signal that ended it
  bool terminalCooked = false;  // terminal runs: line editing and echo on at the end
  std::string unreadInput;      // terminal runs: what was typed and left for the shell
  // The peak resident memory of the process started (the tool, or Wine running it; in a
  // terminal run the shell that waits for it), in KiB.
  long peakKiB = 0;
};

// One exchange with a running tool: when its standard output holds `waitFor`, run
// `action` (if any), then write `input` to its standard input, or end the tool with
// SIGKILL when `kill` is set (as a power cut or the task manager would).
struct Step {
  std::string waitFor;
  std::function<void()> action;
  std::string input;
  bool kill = false;
};

struct RunOptions {
  std::string workDir;
  std::string registryFile;  // a .reg file; empty: no Meridex key at all
  std::string input;         // what standard input holds, then end of input
  std::vector<Step> steps;   // instead of input: a conversation, then end of input
  long long fileSizeLimit = -1;  // RLIMIT_FSIZE for the tool, bytes; -1: none
  long long addressSpaceLimit = -1;  // RLIMIT_AS for the tool (ulimit -v), bytes; -1: none
  int timeoutSeconds = 120;
  std::string inputFile;     // standard input read from this file instead
  bool closedOutputs = false;  // both output streams are pipes that nobody reads
  std::vector<int> closedDescriptors;  // standard descriptors the tool starts without
  // Standard input, output and error on one pseudo-terminal whose controlling process
  // the tool is, as in a terminal window; what it shows is `out`.
  bool terminal = false;
  unsigned short columns = 0;  // the terminal's width; 0: it does not say
  std::string user;  // the tool runs as this user (the tests run as root); empty: as the test
};

RunResult RunTool(const ToolTarget& target, const RunOptions& options);

// While RunTool runs (for a step's action): the tool's process, and in a terminal run
// the terminal's own side, whose mode is the tool's terminal mode.
int RunningTool();
int RunningTerminal();
// A terminal in line-editing mode with echo, as a shell leaves it.
bool IsCooked(int terminal);
// True once the process is stopped (a job stop), within 5 s.
bool WaitUntilStopped(int pid);
// True once the process waits inside a write(2), as on a terminal stopped with Ctrl+S,
// within 10 s.
bool WaitUntilWriting(int pid);

// Another session's write that the tool's open read or transaction would keep out
// (PostgreSQL: the table lock an ALTER TABLE takes): "" when it was done, else the
// driver's message. It waits about 2 s at most for the tool's locks.
std::string WriteAsAnotherSession(testing_support::TestDatabase& db);

// Makes the registry of the target hold exactly what the file says under
// HKEY_LOCAL_MACHINE\SOFTWARE\Talvora (for Windows: imported into Wine's registry).
void PrepareRegistry(const ToolTarget& target, const std::string& registryFile);

// A throwaway server of its own (the PostgreSQL cluster or MariaDB server that
// scripts/lib.sh makes), for tests that stop and start the server.
class PrivateCluster {
 public:
  explicit PrivateCluster(int port) : PrivateCluster(testing_support::Backend::PostgreSQL, port) {}
  PrivateCluster(testing_support::Backend backend, int port);
  ~PrivateCluster();
  void Stop();
  void Start();
  // Without Database=.
  std::string Connection() const;
  int Port() const { return m_port; }

 private:
  // The shell functions' prefix in scripts/lib.sh: pg or maria.
  std::string Script(const std::string& action) const;
  testing_support::Backend m_backend;
  int m_port;
  std::string m_dir;
};

// Writes dir/meridex.reg holding body under the registry editor's header; returns its path.
std::string WriteRegistryFile(const std::string& dir, const std::string& body);
// The same for the usual key: the connection string as the fallback value.
std::string WriteConnectionRegistry(const std::string& dir, const std::string& connection);
// A string value as the .reg format quotes it.
std::string RegString(const std::string& text);

// The text a build writes for a line end on its console and into the list file.
std::string LineEnds(const ToolTarget& target, const std::string& text);

}  // namespace e2e
