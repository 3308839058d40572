// The tool's run with a selection that is not a query: an UPDATE that changes nothing.
// No driver answers the tool's own SELECT without a result set, yet the run has to treat
// a selection that fails without naming an error as an empty result. This executable lets
// the end-to-end tests reach that path with real drivers, on both builds, as the operator
// would (piped input, the registry, the list file in the working directory).

#include "CleanupRun.h"

int main() {
  CleanupStatements statements;
  statements.selection =
      u"UPDATE FileTree SET OperationType = OperationType WHERE (OperationType & %d = %d) AND ((OperationType & %d) = %d)";
  return RunCleanup(statements);
}
