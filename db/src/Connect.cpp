#include "Connect.h"

#include <string>

#include "Console.h"
#include "ConnectionStringMask.h"
#include "VisibleText.h"

bool ConnectToDatabase(CODBCDatabase& database, const char16_t* connectionString) {
  // A private copy of the string, freed on every path out.
  const std::u16string copy(connectionString != nullptr ? connectionString : u"");
  if (database.IsConnected()) database.Close();
  if (database.DriverConnect(copy.c_str(), nullptr, nullptr, sqlNoPrompt) == 0) return false;
  if (TestDBVersion(&database) == 0) return true;
  database.Close();
  // No line end: the caller's own message continues on this line.
  std::string message = "Can not connect to DB: \\";
  AppendVisibleUtf8(message, MaskConnectionString(copy));
  message += "\\. Illegal database version.";
  (void)ConsoleWriteUtf8(ConsoleStream::Error, message);
  return false;
}
