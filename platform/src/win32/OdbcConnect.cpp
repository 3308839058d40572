#include "OdbcApi.h"

// odbc32 passes wide text to every driver as it is given: nothing to settle.
SQLRETURN AllocateConnectionHandle(SQLHANDLE environment, SQLHANDLE* connection) {
  return SQLAllocHandle(SQL_HANDLE_DBC, environment, connection);
}

SQLRETURN DriverConnectW(SQLHDBC dbc, SQLHWND window, const char16_t* in, char16_t* out, SQLSMALLINT outChars,
                         SQLSMALLINT* outLength, SQLUSMALLINT completion) {
  return SQLDriverConnectW(dbc, window, AsSqlText(in), SQL_NTS, out != nullptr ? AsSqlText(out) : nullptr, outChars,
                           outLength, completion);
}
