#pragma once
// The ODBC API for both builds: odbc32 on Windows, unixODBC on POSIX. SQLWCHAR is a
// UTF-16 code unit on both, so char16_t text is passed with a reinterpret_cast.

#include "Win32Types.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "ODBC wide text must be UTF-16");

inline SQLWCHAR* AsSqlText(char16_t* text) { return reinterpret_cast<SQLWCHAR*>(text); }
inline SQLWCHAR* AsSqlText(const char16_t* text) {
  // ODBC's prototypes are not const-correct; the input strings are never written.
  return reinterpret_cast<SQLWCHAR*>(const_cast<char16_t*>(text));
}

// Success as every caller means it: SQL_SUCCESS or SQL_SUCCESS_WITH_INFO.
inline bool SqlSucceeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// SQLAllocHandle for a connection handle, and SQLDriverConnectW: with the driver
// manager's text conversions for the connection settled (it settles them at one or the
// other), so that every driver receives the connection string and later text as the
// tool wrote it.
[[nodiscard]] SQLRETURN AllocateConnectionHandle(SQLHANDLE environment, SQLHANDLE* connection);
[[nodiscard]] SQLRETURN DriverConnectW(SQLHDBC dbc, SQLHWND window, const char16_t* in, char16_t* out,
                                       SQLSMALLINT outChars, SQLSMALLINT* outLength, SQLUSMALLINT completion);
