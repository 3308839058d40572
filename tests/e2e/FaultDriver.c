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
 *   FaultDriverFault=rollback   the first SQLEndTran(SQL_ROLLBACK) fails, the session lives
 *   FaultDriverFault=fetch      the first SQLFetch of a result of several columns (not the
 *                               schema version's) fails with SQLite's "not an error" record
 *   FaultDriverLog=/path        one line per autocommit switch, ended transaction and
 *                               disconnect, so a test can tell what the library asked for
 */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>
#include <stdio.h>
#include <string.h>

typedef SQLRETURN (*EndTranFn)(SQLSMALLINT, SQLHANDLE, SQLSMALLINT);
typedef SQLRETURN (*SetConnectAttrFn)(SQLHDBC, SQLINTEGER, SQLPOINTER, SQLINTEGER);
typedef SQLRETURN (*DriverConnectFn)(SQLHDBC, SQLHWND, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*,
                                     SQLUSMALLINT);
typedef SQLRETURN (*DisconnectFn)(SQLHDBC);
typedef SQLRETURN (*FetchFn)(SQLHSTMT);
typedef SQLRETURN (*NumResultColsFn)(SQLHSTMT, SQLSMALLINT*);
typedef SQLRETURN (*GetInfoFn)(SQLHDBC, SQLUSMALLINT, SQLPOINTER, SQLSMALLINT, SQLSMALLINT*);
typedef SQLRETURN (*ErrorFn)(SQLHENV, SQLHDBC, SQLHSTMT, SQLCHAR*, SQLINTEGER*, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*);

static char g_fault[32];
static char g_log[1024];
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

static int TakeFault(const char* kind) {
  if (strcmp(g_fault, kind) != 0) return 0;
  g_fault[0] = 0; /* once */
  return 1;
}

SQLRETURN SQL_API SQLDriverConnect(SQLHDBC dbc, SQLHWND window, SQLCHAR* in, SQLSMALLINT inLength, SQLCHAR* out,
                                   SQLSMALLINT outMax, SQLSMALLINT* outLength, SQLUSMALLINT completion) {
  const size_t n = in == NULL ? 0 : inLength == SQL_NTS ? strlen((const char*)in) : (size_t)inLength;
  if (in != NULL) {
    Value((const char*)in, n, "FaultDriverFault=", g_fault, sizeof g_fault);
    Value((const char*)in, n, "FaultDriverLog=", g_log, sizeof g_log);
  }
  return ((DriverConnectFn)Real("SQLDriverConnect"))(dbc, window, in, inLength, out, outMax, outLength, completion);
}

SQLRETURN SQL_API SQLGetInfo(SQLHDBC dbc, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT size, SQLSMALLINT* length) {
  static const char kName[] = "FaultDriver";
  if (type != SQL_DBMS_NAME) return ((GetInfoFn)Real("SQLGetInfo"))(dbc, type, value, size, length);
  Forget(dbc);
  if (value != NULL && size > 0) snprintf((char*)value, (size_t)size, "%s", kName);
  if (length != NULL) *length = (SQLSMALLINT)(sizeof kName - 1);
  return value != NULL && size < (SQLSMALLINT)sizeof kName ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC dbc, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER length) {
  Forget(dbc);
  if (attribute == SQL_ATTR_AUTOCOMMIT) Log((SQLULEN)value == SQL_AUTOCOMMIT_OFF ? "autocommit off" : "autocommit on");
  return ((SetConnectAttrFn)Real("SQLSetConnectAttr"))(dbc, attribute, value, length);
}

SQLRETURN SQL_API SQLEndTran(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT completion) {
  Forget(handle);
  if (completion == SQL_ROLLBACK && TakeFault("rollback")) {
    Log("rollback failed");
    g_failed = handle;
    g_failedState = "08S01";
    g_failedText = "[FaultDriver]the rollback failed by request; the session is still open";
    return SQL_ERROR;
  }
  const SQLRETURN rc = ((EndTranFn)Real("SQLEndTran"))(type, handle, completion);
  Log(completion == SQL_COMMIT ? "commit" : "rollback");
  return rc;
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC dbc) {
  Forget(dbc);
  const SQLRETURN rc = ((DisconnectFn)Real("SQLDisconnect"))(dbc);
  Log(SQL_SUCCEEDED(rc) ? "disconnect" : "disconnect refused");
  return rc;
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
  return ((FetchFn)Real("SQLFetch"))(stmt);
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
