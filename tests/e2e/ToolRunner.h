#pragma once
// Runs the built tool as an operator would: in a working directory of its own, with its
// registry prepared, standard input piped from a string, and both output streams captured.
// The same harness drives the Linux executable and the Windows one under Wine, which is
// what $MERIDEX_E2E_TOOL names (a path ending in ".exe" runs through cmake/wine-run).

#include <string>
#include <vector>

namespace e2e {

struct ToolTarget {
  std::string path;
  bool windows = false;
};

ToolTarget TargetFromEnvironment();

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // the exit status; -1 when it did not exit normally (signal, time-out)
};

struct RunOptions {
  std::string workDir;
  std::string registryFile;  // a .reg file; empty: no Meridex key at all
  std::string input;         // what standard input holds, then end of input
  long long fileSizeLimit = -1;  // RLIMIT_FSIZE for the tool, bytes; -1: none
  int timeoutSeconds = 120;
};

RunResult RunTool(const ToolTarget& target, const RunOptions& options);

// Makes the registry of the target hold exactly what the file says under
// HKEY_LOCAL_MACHINE\SOFTWARE\Talvora (for Windows: imported into Wine's registry).
void PrepareRegistry(const ToolTarget& target, const std::string& registryFile);

// The text a build writes for a line end on its console and into the list file.
std::string LineEnds(const ToolTarget& target, const std::string& text);

}  // namespace e2e
