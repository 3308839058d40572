#pragma once
// Owners of the ODBC handles: environment, connection, statement. Each is freed once, by
// its owner, with SQLFreeHandle of its own kind.

#include "OdbcApi.h"
#include "UniqueHandle.h"

template <SQLSMALLINT Kind>
struct OdbcHandleTraits {
  using Type = SQLHANDLE;
  static Type Invalid() { return SQL_NULL_HANDLE; }
  static void Close(Type handle) { (void)SQLFreeHandle(Kind, handle); }
};

using UniqueEnvHandle = CUniqueHandle<OdbcHandleTraits<SQL_HANDLE_ENV>>;
using UniqueDbcHandle = CUniqueHandle<OdbcHandleTraits<SQL_HANDLE_DBC>>;
using UniqueStmtHandle = CUniqueHandle<OdbcHandleTraits<SQL_HANDLE_STMT>>;

// Allocates a handle of the owner's kind below input. The owner takes the new handle only
// on success and is left as it was otherwise: a failed SQLAllocHandle need not leave a
// null handle behind.
template <SQLSMALLINT Kind>
[[nodiscard]] SQLRETURN AllocateHandle(SQLHANDLE input, CUniqueHandle<OdbcHandleTraits<Kind>>& owner) {
  SQLHANDLE handle = SQL_NULL_HANDLE;
  const SQLRETURN rc =
      Kind == SQL_HANDLE_DBC ? AllocateConnectionHandle(input, &handle) : SQLAllocHandle(Kind, input, &handle);
  if (SqlSucceeded(rc)) owner.reset(handle);
  return rc;
}
