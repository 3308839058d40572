#include "Diagnostics.h"

#include <string>

_SQL_Error::_SQL_Error() : recordNumber(1), returnCode(SQL_SUCCESS), sqlState{}, nativeError(0), message{} {}

bool CopyKeptError(bool hasError, const _SQL_Error& kept, _SQL_Error& error) {
  if (!hasError) return false;
  const int16_t record = error.recordNumber;
  error = kept;
  error.recordNumber = record;
  return true;
}

void SetLibraryError(_SQL_Error& error, const char16_t* state, const char16_t* text) {
  error.returnCode = SQL_ERROR;
  error.nativeError = 0;
  CopyText(error.sqlState, state);
  CopyText(error.message, text);
}

void ReadDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle, SQLRETURN rc, _SQL_Error& error) {
  error.returnCode = rc;
  error.nativeError = 0;
  error.sqlState[0] = 0;
  error.message[0] = 0;
  const SQLSMALLINT record = error.recordNumber > 0 ? error.recordNumber : 1;
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  SQLRETURN drc = SQL_NO_DATA;
  if (handle != nullptr) {
    drc = SQLGetDiagRecW(handleType, handle, record, AsSqlText(error.sqlState), &native, AsSqlText(error.message),
                         static_cast<SQLSMALLINT>(sizeof(error.message) / sizeof(error.message[0])), &length);
  }
  // Whatever the driver wrote, the record ends terminated.
  error.sqlState[5] = 0;
  error.message[sizeof(error.message) / sizeof(error.message[0]) - 1] = 0;
  if (SqlSucceeded(drc)) {
    error.nativeError = native;
    // NOTE: psqlODBC ends its messages with a line feed; the record holds the message,
    // and whoever prints it ends the line.
    std::size_t end = 0;
    while (error.message[end] != 0) ++end;
    while (end > 0 && (error.message[end - 1] == u'\n' || error.message[end - 1] == u'\r')) error.message[--end] = 0;
    return;
  }
  std::u16string text = u"The ODBC call failed (return code ";
  for (char c : std::to_string(rc)) text.push_back(static_cast<char16_t>(c));
  text += u") and the driver gave no diagnostic.";
  SetLibraryError(error, u"HY000", text.c_str());
  error.returnCode = rc;
}
