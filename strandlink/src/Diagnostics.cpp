#include "Diagnostics.h"

#include <string>
#include <string_view>

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

namespace {

// A record that names no reason: empty, or SQLite's text for its code 0, which its driver
// hands over after a failure of its own (an allocation) that SQLite never saw.
bool SaysNothing(const char16_t* message) {
  const std::u16string_view text(message);
  return text.empty() || text.find(u"not an error") != std::u16string_view::npos;
}

// What the library itself knows of a failure that the driver did not explain.
void ExplainFailure(_SQL_Error& error, SQLRETURN rc, const char16_t* call, bool hadRecord) {
  std::u16string text = call != nullptr ? std::u16string(call) : std::u16string(u"The ODBC call");
  text += u" failed (return code ";
  for (char c : std::to_string(rc)) text.push_back(static_cast<char16_t>(c));
  if (hadRecord && std::u16string_view(error.sqlState) == u"HY001") {
    text += u"): the driver ran out of memory.";
  } else {
    text += hadRecord ? u") and the driver gave no reason." : u") and the driver gave no diagnostic.";
  }
  const std::u16string state = hadRecord && error.sqlState[0] != 0 ? std::u16string(error.sqlState) : u"HY000";
  const int32_t native = error.nativeError;
  SetLibraryError(error, state.c_str(), text.c_str());
  error.nativeError = native;
  error.returnCode = rc;
}

}  // namespace

void ReadDiagnostic(SQLSMALLINT handleType, SQLHANDLE handle, SQLRETURN rc, _SQL_Error& error, const char16_t* call) {
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
  if (!SqlSucceeded(drc)) {
    error.sqlState[0] = 0;
    ExplainFailure(error, rc, call, false);
    return;
  }
  error.nativeError = native;
  // NOTE: psqlODBC ends its messages with a line feed; the record holds the message,
  // and whoever prints it ends the line.
  std::size_t end = 0;
  while (error.message[end] != 0) ++end;
  while (end > 0 && (error.message[end - 1] == u'\n' || error.message[end - 1] == u'\r')) error.message[--end] = 0;
  // A failure is reported with a reason, never as an empty line or as "not an error".
  if (!SqlSucceeded(rc) && SaysNothing(error.message)) ExplainFailure(error, rc, call, true);
}
