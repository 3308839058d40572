#pragma once
// The clean-up run: banner, pause, connection string, connection, listing of the old
// rows into the list file, confirmation, deletion. Every path returns 0.

#include <cstdint>

struct CleanupStatements {
  // Formatted with the selection criterion's four numbers: 3, 2, 28, 16. The rows it
  // selects are listed and checked after "yes" by each server's own statement, which
  // reads them as the database stores them (CStoredRowSet); the deletion repeats it.
  const char16_t* condition = u"(OperationType & %d = %d) AND ((OperationType & %d) = %d)";
  // A whole statement to list from instead of the rows of `condition`: for the tests.
  const char16_t* selection = nullptr;
  const char16_t* deletion = u"DELETE FROM FileTree WHERE (OperationType & %d = %d) AND ((OperationType & %d) = %d)";
  const char* listFile = "Vestrum.csv";
  // How long the check and the deletion after "yes" wait for rows that another session
  // holds locked, before they give up and nothing is deleted.
  int lockWaitSeconds = 60;
};

// The run as the operator gets it. Tests may hand in other statement templates.
int RunCleanup(const CleanupStatements& statements = CleanupStatements());
