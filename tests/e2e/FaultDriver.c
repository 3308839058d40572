/* An ODBC driver for the tests that is the SQLite3 driver with one fault added on request.
 * It is linked against the real driver, so every function it does not define is the real
 * driver's: unixODBC looks each driver function up with dlsym on the handle of the library
 * named by Driver=, and dlsym on a handle searches the library's own dependencies too. The
 * few functions defined here forward to the real driver's by a handle of their own on it,
 * never by name: in the tool's process the name SQLEndTran is the driver manager's.
 *
 * It names itself as its DBMS ("FaultDriver"), so that the library takes it for a driver
 * it knows nothing of and ends its transactions through SQLEndTran, as ODBC defines it
 * (for SQLite itself it sends BEGIN, COMMIT and ROLLBACK TRANSACTION instead).
 *
 * The connection string carries the wishes, after the real driver's own keys (which it
 * reads and leaves the rest alone):
 *   FaultDriverFault=rollback   the first rollback fails (SQLEndTran(SQL_ROLLBACK), or a
 *                               "ROLLBACK TRANSACTION" statement), the session lives
 *   FaultDriverFault=fetch      the first SQLFetch of a result of several columns (not the
 *                               schema version's) fails with SQLite's "not an error" record
 *   FaultDriverFault=count      nothing fails; the log gets one line per driver call
 *   FaultDriverFault=KIND@N     the Nth driver call (counted from 1, as `count` numbers
 *   FaultDriverFault=KIND@N+    them) fails, before the real driver acts, or after it when
 *                               N ends with '+'; KIND is error (SQL_ERROR and a record of
 *                               ours), mute (SQL_ERROR and a record that gives no reason,
 *                               as the real driver's after a failed allocation), segv (a
 *                               store through a null pointer) or abort
 *   FaultDriverDbms=SQLite      the DBMS name it gives: the library then ends transactions
 *                               in SQL, as it does on SQLite
 *   FaultDriverDatabase=/path   the real driver is handed this database before the one
 *                               the string names (it takes a key's first value): a driver
 *                               manager that changed the name on its way; %HH is the byte
 *                               HH, which no connection string of UTF-16 can carry
 *   FaultDriverLog=/path        one line per autocommit switch, ended transaction and
 *                               disconnect, so a test can tell what the library asked for,
 *                               and the call struck
 *
 * The calls counted are those a run makes of the driver, but for the diagnostics (SQLError,
 * SQLGetDiagRec), which unixODBC may ask for at its own moments.
 */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef SQLRETURN (*EndTranFn)(SQLSMALLINT, SQLHANDLE, SQLSMALLINT);
typedef SQLRETURN (*SetConnectAttrFn)(SQLHDBC, SQLINTEGER, SQLPOINTER, SQLINTEGER);
typedef SQLRETURN (*DriverConnectFn)(SQLHDBC, SQLHWND, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*,
                                     SQLUSMALLINT);
typedef SQLRETURN (*DisconnectFn)(SQLHDBC);
typedef SQLRETURN (*FetchFn)(SQLHSTMT);
typedef SQLRETURN (*NumResultColsFn)(SQLHSTMT, SQLSMALLINT*);
typedef SQLRETURN (*GetInfoFn)(SQLHDBC, SQLUSMALLINT, SQLPOINTER, SQLSMALLINT, SQLSMALLINT*);
typedef SQLRETURN (*ExecDirectFn)(SQLHSTMT, SQLCHAR*, SQLINTEGER);
typedef SQLRETURN (*AllocHandleFn)(SQLSMALLINT, SQLHANDLE, SQLHANDLE*);
typedef SQLRETURN (*FreeHandleFn)(SQLSMALLINT, SQLHANDLE);
typedef SQLRETURN (*FreeStmtFn)(SQLHSTMT, SQLUSMALLINT);
typedef SQLRETURN (*GetConnectAttrFn)(SQLHDBC, SQLINTEGER, SQLPOINTER, SQLINTEGER, SQLINTEGER*);
typedef SQLRETURN (*SetStmtAttrFn)(SQLHSTMT, SQLINTEGER, SQLPOINTER, SQLINTEGER);
typedef SQLRETURN (*GetStmtAttrFn)(SQLHSTMT, SQLINTEGER, SQLPOINTER, SQLINTEGER, SQLINTEGER*);
typedef SQLRETURN (*BindColFn)(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER, SQLLEN, SQLLEN*);
typedef SQLRETURN (*GetDataFn)(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER, SQLLEN, SQLLEN*);
typedef SQLRETURN (*DescribeColFn)(SQLHSTMT, SQLUSMALLINT, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*, SQLSMALLINT*, SQLULEN*,
                                   SQLSMALLINT*, SQLSMALLINT*);
typedef SQLRETURN (*ColAttributeFn)(SQLHSTMT, SQLUSMALLINT, SQLUSMALLINT, SQLPOINTER, SQLSMALLINT, SQLSMALLINT*, SQLLEN*);
typedef SQLRETURN (*RowCountFn)(SQLHSTMT, SQLLEN*);
typedef SQLRETURN (*CloseCursorFn)(SQLHSTMT);
typedef SQLRETURN (*MoreResultsFn)(SQLHSTMT);
typedef SQLRETURN (*ErrorFn)(SQLHENV, SQLHDBC, SQLHSTMT, SQLCHAR*, SQLINTEGER*, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*);

static char g_fault[32];
static char g_dbms[32];
static char g_log[1024];
static char g_database[1024];
/* KIND@N: what strikes, at which call, before or after the real driver acts. */
static char g_strikeKind[8];
static long g_strikeAt;
static int g_strikeAfter;
static long g_calls;
/* The handle whose call failed by request: its diagnostic is ours, asked for once; then
 * the handle that has had it, which has no more. */
static SQLHANDLE g_failed;
static SQLHANDLE g_failedAsked;
static const char* g_failedState;
static const char* g_failedText;

static void* Real(const char* name) {
  static void* driver;
  if (driver == NULL) driver = dlopen(MERIDEX_REAL_DRIVER, RTLD_LAZY);
  return driver != NULL ? dlsym(driver, name) : NULL;
}

static void Log(const char* line) {
  if (g_log[0] == 0) return;
  FILE* file = fopen(g_log, "a");
  if (file == NULL) return;
  fprintf(file, "%s\n", line);
  fclose(file);
}

/* Copies the value of key (up to ';') from a connection string of length n. */
static void Value(const char* text, size_t n, const char* key, char* out, size_t size) {
  const size_t keyLength = strlen(key);
  out[0] = 0;
  for (size_t i = 0; i + keyLength <= n; ++i) {
    if ((i == 0 || text[i - 1] == ';') && strncmp(text + i, key, keyLength) == 0) {
      size_t j = 0;
      for (i += keyLength; i < n && text[i] != ';' && j + 1 < size; ++i) out[j++] = text[i];
      out[j] = 0;
      return;
    }
  }
}

/* A handle's next call forgets the failure made up for it. */
static void Forget(SQLHANDLE handle) {
  if (handle == g_failed) g_failed = NULL;
  if (handle == g_failedAsked) g_failedAsked = NULL;
}

static void Strike(const char* name, const char* detail) {
  char line[160];
  snprintf(line, sizeof line, "struck %ld %s%s%s %s", g_calls, name, detail[0] != 0 ? " " : "", detail,
           g_strikeKind);
  Log(line);
  if (strcmp(g_strikeKind, "segv") == 0) *(volatile int*)0 = 1;
  if (strcmp(g_strikeKind, "abort") == 0) abort();
}

/* Counts one driver call. 1 when it is the one to fail with an error before the real
 * driver acts; a fault (segv, abort) strikes here and does not return. */
static int Before(SQLHANDLE handle, const char* name, const char* detail) {
  ++g_calls;
  if (strcmp(g_fault, "count") == 0) {
    char line[160];
    snprintf(line, sizeof line, "%ld %s%s%s", g_calls, name, detail[0] != 0 ? " " : "", detail);
    Log(line);
  }
  if (g_calls != g_strikeAt || g_strikeAfter) return 0;
  Strike(name, detail);
  g_failed = handle;
  g_failedState = "HY000";
  g_failedText = strcmp(g_strikeKind, "mute") == 0 ? "[SQLite]not an error (0)" : "[FaultDriver]the call failed by request";
  return 1;
}

/* After the real driver acted: the result, or the failure asked for at this call. */
static SQLRETURN After(SQLHANDLE handle, const char* name, const char* detail, SQLRETURN rc) {
  if (g_calls != g_strikeAt || !g_strikeAfter) return rc;
  Strike(name, detail);
  g_failed = handle;
  g_failedState = "HY000";
  g_failedText = strcmp(g_strikeKind, "mute") == 0 ? "[SQLite]not an error (0)"
                                                   : "[FaultDriver]the call failed by request after the driver's own work";
  return SQL_ERROR;
}

/* One call of the real driver, counted, with the failure asked for at it. */
#define CALL(handle, name, detail, type, args)                  \
  do {                                                          \
    if (Before((SQLHANDLE)(handle), #name, detail)) return SQL_ERROR; \
    return After((SQLHANDLE)(handle), #name, detail, ((type)Real(#name))args); \
  } while (0)

static int TakeFault(const char* kind) {
  if (strcmp(g_fault, kind) != 0) return 0;
  g_fault[0] = 0; /* once */
  return 1;
}

/* The rollback asked to fail: the session lives on, its transaction open. */
static SQLRETURN FailRollback(SQLHANDLE handle) {
  Log("rollback failed");
  g_failed = handle;
  g_failedState = "08S01";
  g_failedText = "[FaultDriver]the rollback failed by request; the session is still open";
  return SQL_ERROR;
}

SQLRETURN SQL_API SQLDriverConnect(SQLHDBC dbc, SQLHWND window, SQLCHAR* in, SQLSMALLINT inLength, SQLCHAR* out,
                                   SQLSMALLINT outMax, SQLSMALLINT* outLength, SQLUSMALLINT completion) {
  const size_t n = in == NULL ? 0 : inLength == SQL_NTS ? strlen((const char*)in) : (size_t)inLength;
  if (in != NULL) {
    Value((const char*)in, n, "FaultDriverFault=", g_fault, sizeof g_fault);
    Value((const char*)in, n, "FaultDriverDbms=", g_dbms, sizeof g_dbms);
    Value((const char*)in, n, "FaultDriverLog=", g_log, sizeof g_log);
    Value((const char*)in, n, "FaultDriverDatabase=", g_database, sizeof g_database);
    const char* at = strchr(g_fault, '@');
    if (at != NULL && (size_t)(at - g_fault) < sizeof g_strikeKind) {
      memcpy(g_strikeKind, g_fault, (size_t)(at - g_fault));
      g_strikeKind[at - g_fault] = 0;
      char* end = NULL;
      g_strikeAt = strtol(at + 1, &end, 10);
      g_strikeAfter = end != NULL && *end == '+';
    }
  }
  static char other[4096];
  for (char *from = g_database, *to = g_database;; ++from, ++to) {
    unsigned byte = 0;
    if (*from == '%' && sscanf(from + 1, "%2x", &byte) == 1) {
      *to = (char)byte;
      from += 2;
    } else if ((*to = *from) == 0) {
      break;
    }
  }
  if (g_database[0] != 0 && n + strlen(g_database) + 11 < sizeof other) {
    snprintf(other, sizeof other, "Database=%s;%.*s", g_database, (int)n, (const char*)in);
    in = (SQLCHAR*)other;
    inLength = SQL_NTS;
  }
  /* The calls before this one (the handles' allocation) count from here on too. */
  CALL(dbc, SQLDriverConnect, "", DriverConnectFn, (dbc, window, in, inLength, out, outMax, outLength, completion));
}

SQLRETURN SQL_API SQLGetInfo(SQLHDBC dbc, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT size, SQLSMALLINT* length) {
  if (type != SQL_DBMS_NAME || g_dbms[0] != 0) CALL(dbc, SQLGetInfo, "", GetInfoFn, (dbc, type, value, size, length));
  static const char kName[] = "FaultDriver";
  if (Before(dbc, "SQLGetInfo", "")) return SQL_ERROR;
  Forget(dbc);
  if (value != NULL && size > 0) snprintf((char*)value, (size_t)size, "%s", kName);
  if (length != NULL) *length = (SQLSMALLINT)(sizeof kName - 1);
  return value != NULL && size < (SQLSMALLINT)sizeof kName ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC dbc, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER length) {
  Forget(dbc);
  const char* detail = attribute != SQL_ATTR_AUTOCOMMIT         ? ""
                       : (SQLULEN)value == SQL_AUTOCOMMIT_OFF ? "autocommit off"
                                                              : "autocommit on";
  if (detail[0] != 0) Log(detail);
  CALL(dbc, SQLSetConnectAttr, detail, SetConnectAttrFn, (dbc, attribute, value, length));
}

SQLRETURN SQL_API SQLEndTran(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT completion) {
  Forget(handle);
  const char* detail = completion == SQL_COMMIT ? "commit" : "rollback";
  if (completion == SQL_ROLLBACK && TakeFault("rollback")) return FailRollback(handle);
  if (Before(handle, "SQLEndTran", detail)) return SQL_ERROR;
  const SQLRETURN rc = ((EndTranFn)Real("SQLEndTran"))(type, handle, completion);
  Log(detail);
  return After(handle, "SQLEndTran", detail, rc);
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC dbc) {
  Forget(dbc);
  if (Before(dbc, "SQLDisconnect", "")) return SQL_ERROR;
  const SQLRETURN rc = ((DisconnectFn)Real("SQLDisconnect"))(dbc);
  Log(SQL_SUCCEEDED(rc) ? "disconnect" : "disconnect refused");
  return After(dbc, "SQLDisconnect", "", rc);
}

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT stmt, SQLCHAR* text, SQLINTEGER length) {
  Forget(stmt);
  /* The statement's first word: BEGIN, COMMIT, ROLLBACK, SELECT, DELETE, PRAGMA. */
  char detail[16] = "";
  for (size_t i = 0; text != NULL && i + 1 < sizeof detail && (length == SQL_NTS || (SQLINTEGER)i < length) &&
                     text[i] != 0 && text[i] != ' ';
       ++i) {
    detail[i] = (char)text[i];
    detail[i + 1] = 0;
  }
  if (strcmp(detail, "ROLLBACK") == 0 && TakeFault("rollback")) return FailRollback(stmt);
  CALL(stmt, SQLExecDirect, detail, ExecDirectFn, (stmt, text, length));
}

SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output) {
  /* The environment's and the connection's come before the connection string says what
   * to do: only the statements' are counted. */
  if (type != SQL_HANDLE_STMT) return ((AllocHandleFn)Real("SQLAllocHandle"))(type, input, output);
  Forget(input);
  CALL(input, SQLAllocHandle, "statement", AllocHandleFn, (type, input, output));
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT type, SQLHANDLE handle) {
  Forget(handle);
  if (type != SQL_HANDLE_STMT) return ((FreeHandleFn)Real("SQLFreeHandle"))(type, handle);
  CALL(handle, SQLFreeHandle, "statement", FreeHandleFn, (type, handle));
}

SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT stmt, SQLUSMALLINT option) {
  Forget(stmt);
  CALL(stmt, SQLFreeStmt, "", FreeStmtFn, (stmt, option));
}

SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC dbc, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER size,
                                    SQLINTEGER* length) {
  Forget(dbc);
  CALL(dbc, SQLGetConnectAttr, "", GetConnectAttrFn, (dbc, attribute, value, size, length));
}

SQLRETURN SQL_API SQLSetStmtAttr(SQLHSTMT stmt, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER length) {
  Forget(stmt);
  CALL(stmt, SQLSetStmtAttr, "", SetStmtAttrFn, (stmt, attribute, value, length));
}

SQLRETURN SQL_API SQLGetStmtAttr(SQLHSTMT stmt, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER size,
                                 SQLINTEGER* length) {
  Forget(stmt);
  CALL(stmt, SQLGetStmtAttr, "", GetStmtAttrFn, (stmt, attribute, value, size, length));
}

SQLRETURN SQL_API SQLBindCol(SQLHSTMT stmt, SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER value, SQLLEN size,
                             SQLLEN* indicator) {
  Forget(stmt);
  CALL(stmt, SQLBindCol, "", BindColFn, (stmt, column, type, value, size, indicator));
}

SQLRETURN SQL_API SQLGetData(SQLHSTMT stmt, SQLUSMALLINT column, SQLSMALLINT type, SQLPOINTER value, SQLLEN size,
                             SQLLEN* indicator) {
  Forget(stmt);
  CALL(stmt, SQLGetData, "", GetDataFn, (stmt, column, type, value, size, indicator));
}

SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT stmt, SQLSMALLINT* columns) {
  Forget(stmt);
  CALL(stmt, SQLNumResultCols, "", NumResultColsFn, (stmt, columns));
}

SQLRETURN SQL_API SQLDescribeCol(SQLHSTMT stmt, SQLUSMALLINT column, SQLCHAR* name, SQLSMALLINT size,
                                 SQLSMALLINT* length, SQLSMALLINT* type, SQLULEN* columnSize, SQLSMALLINT* digits,
                                 SQLSMALLINT* nullable) {
  Forget(stmt);
  CALL(stmt, SQLDescribeCol, "", DescribeColFn, (stmt, column, name, size, length, type, columnSize, digits, nullable));
}

SQLRETURN SQL_API SQLColAttribute(SQLHSTMT stmt, SQLUSMALLINT column, SQLUSMALLINT field, SQLPOINTER text,
                                  SQLSMALLINT size, SQLSMALLINT* length, SQLLEN* number) {
  Forget(stmt);
  CALL(stmt, SQLColAttribute, "", ColAttributeFn, (stmt, column, field, text, size, length, number));
}

SQLRETURN SQL_API SQLRowCount(SQLHSTMT stmt, SQLLEN* rows) {
  Forget(stmt);
  CALL(stmt, SQLRowCount, "", RowCountFn, (stmt, rows));
}

SQLRETURN SQL_API SQLCloseCursor(SQLHSTMT stmt) {
  Forget(stmt);
  CALL(stmt, SQLCloseCursor, "", CloseCursorFn, (stmt));
}

SQLRETURN SQL_API SQLMoreResults(SQLHSTMT stmt) {
  Forget(stmt);
  CALL(stmt, SQLMoreResults, "", MoreResultsFn, (stmt));
}

SQLRETURN SQL_API SQLFetch(SQLHSTMT stmt) {
  Forget(stmt);
  SQLSMALLINT columns = 0;
  if (strcmp(g_fault, "fetch") == 0 && SQL_SUCCEEDED(((NumResultColsFn)Real("SQLNumResultCols"))(stmt, &columns)) &&
      columns > 1 && TakeFault("fetch")) {
    g_failed = stmt;
    g_failedState = "HY000";
    g_failedText = "[SQLite]not an error (0)"; /* what the real driver says after a failed allocation */
    return SQL_ERROR;
  }
  CALL(stmt, SQLFetch, "", FetchFn, (stmt));
}

/* NOTE: unixODBC asks this driver for its diagnostics through SQLError, one record per
 * call, and SQL_NO_DATA after the last. */
SQLRETURN SQL_API SQLError(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt, SQLCHAR* state, SQLINTEGER* native, SQLCHAR* text,
                           SQLSMALLINT size, SQLSMALLINT* length) {
  const SQLHANDLE handle = stmt != NULL ? stmt : dbc != NULL ? dbc : env;
  if (handle != NULL && handle == g_failed) {
    g_failed = NULL;
    if (state != NULL) memcpy(state, g_failedState, 6);
    if (native != NULL) *native = 0;
    if (text != NULL && size > 0) snprintf((char*)text, (size_t)size, "%s", g_failedText);
    if (length != NULL) *length = (SQLSMALLINT)strlen(g_failedText);
    g_failedAsked = handle;
    return SQL_SUCCESS;
  }
  if (handle != NULL && handle == g_failedAsked) {
    g_failedAsked = NULL;
    return SQL_NO_DATA;
  }
  return ((ErrorFn)Real("SQLError"))(env, dbc, stmt, state, native, text, size, length);
}
