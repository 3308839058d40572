#pragma once
// The clean-up run: banner, pause, connection string, connection, listing of the old
// rows into the list file, confirmation, deletion. Every path returns 0.

#include <cstdint>

struct CleanupStatements {
  // Formatted with the selection criterion's four numbers: 3, 2, 28, 16. The listing
  // names the four columns it binds by position, so that the table's column order does
  // not matter and FileData, which the list never shows, is not read.
  const char16_t* selection =
      u"SELECT FileID, FileName, FileIdentification, OperationType FROM FileTree WHERE (OperationType & %d = %d) AND "
      u"((OperationType & %d) = %d)";
  // After "yes", the selection read again for what the listing fingerprinted.
  const char16_t* check =
      u"SELECT FileID, FileName, FileIdentification, OperationType FROM FileTree WHERE (OperationType & %d = %d) AND "
      u"((OperationType & %d) = %d)";
  const char16_t* deletion = u"DELETE FROM FileTree WHERE (OperationType & %d = %d) AND ((OperationType & %d) = %d)";
  const char* listFile = "Vestrum.csv";
  // How long the check and the deletion after "yes" wait for rows that another session
  // holds locked, before they give up and nothing is deleted.
  int lockWaitSeconds = 60;
};

// The run as the operator gets it. Tests may hand in other statement templates.
int RunCleanup(const CleanupStatements& statements = CleanupStatements());
