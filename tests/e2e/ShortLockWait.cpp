// The tool with its wait for locks that another session holds cut to 3 seconds: the
// end-to-end tests of that wait run it instead of sitting out the tool's minute.

#include "CleanupRun.h"

int main() {
  CleanupStatements statements;
  statements.lockWaitSeconds = 3;
  return RunCleanup(statements);
}
