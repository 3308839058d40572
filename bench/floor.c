/* meridex-floor: the least a C program has to do through ODBC to write the same list
 * file as meridex-cleanup from the same statement. The benchmark holds the tool to it.
 *
 *   meridex-floor CONNECTION [LISTFILE]      (LISTFILE defaults to Vestrum.csv)
 *
 * It does what the tool's listing does and nothing more: the four columns the list needs,
 * named, bound with the tool's C types and capacities, one line per row formatted as the
 * tool formats it, writes through one large buffer. (The tool also fingerprints each row
 * for its check after "yes", and asks SQLite and MariaDB whether a name is whole: work the
 * floor leaves out.) Exit status 0
 * when the whole file was written, 1 otherwise. */

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sql.h>
#include <sqlext.h>

#define NAME_BYTES 522
#define IDENT_BYTES 1000
#define OUT_BUFFER (1 << 16)
/* The longest line: 260 units of at most 3 UTF-8 bytes, the date, the line end. */
#define LINE_MAX_BYTES (260 * 3 + 32)

/* Of the identification the list needs only the last-write time of a 112-byte record,
 * as the tool reads it on the servers (a 112-byte value as 8 bytes, any other as NULL). */
static const char kStatement[] =
    "SELECT FileID, FileName, CASE WHEN length(FileIdentification) = 112 THEN substr(FileIdentification, 25, 8) END, "
    "OperationType FROM FileTree WHERE (OperationType & 3 = 2) AND ((OperationType & 28) = 16)";

static char g_out[OUT_BUFFER];
static size_t g_used;
static FILE* g_file;
static int g_writeFailed;

static void Flush(void) {
  if (g_used != 0 && fwrite(g_out, 1, g_used, g_file) != g_used) g_writeFailed = 1;
  g_used = 0;
}

static void Diagnose(const char* what, SQLSMALLINT type, SQLHANDLE handle) {
  SQLCHAR state[6] = "", message[1024] = "";
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  SQLGetDiagRec(type, handle, 1, state, &native, message, sizeof message, &length);
  fprintf(stderr, "meridex-floor: %s: [%s] %s\n", what, (const char*)state, (const char*)message);
}

static int Ok(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

/* UTF-16 to UTF-8 with unpaired surrogates as U+FFFD, as the tool converts. */
static char* PutUtf8(char* out, const SQLWCHAR* text) {
  for (size_t i = 0; text[i] != 0; ++i) {
    uint32_t c = text[i];
    if (c < 0x80) {
      *out++ = (char)c;
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x800) {
      *out++ = (char)(0xC0 | (c >> 6));
    } else if (c < 0x10000) {
      *out++ = (char)(0xE0 | (c >> 12));
      *out++ = (char)(0x80 | ((c >> 6) & 0x3F));
    } else {
      *out++ = (char)(0xF0 | (c >> 18));
      *out++ = (char)(0x80 | ((c >> 12) & 0x3F));
      *out++ = (char)(0x80 | ((c >> 6) & 0x3F));
    }
    *out++ = (char)(0x80 | (c & 0x3F));
  }
  return out;
}

static char* PutTwo(char* out, unsigned v) {
  *out++ = (char)('0' + v / 10 % 10);
  *out++ = (char)('0' + v % 10);
  return out;
}

/* ",MM/DD/YYYY  HH:MM" of a little-endian FILETIME, in UTC; a value with the high bit
 * set has no calendar time and leaves the column empty. */
static char* PutWriteTime(char* out, const unsigned char* p) {
  uint64_t t = 0;
  for (int i = 7; i >= 0; --i) t = (t << 8) | p[i];
  *out++ = ',';
  if (t > INT64_MAX) return out;
  const uint64_t ms = t / 10000;
  const uint64_t msOfDay = ms % 86400000;
  const int64_t z = (int64_t)(ms / 86400000) + 306; /* days since 1600-03-01 */
  const int64_t era = z / 146097, doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = 1600 + era * 400 + yoe + (month <= 2 ? 1 : 0);
  out = PutTwo(out, (unsigned)month);
  *out++ = '/';
  out = PutTwo(out, (unsigned)day);
  *out++ = '/';
  out += sprintf(out, "%d", (int)year);
  *out++ = ' ';
  *out++ = ' ';
  out = PutTwo(out, (unsigned)(msOfDay / 3600000));
  *out++ = ':';
  return PutTwo(out, (unsigned)(msOfDay / 60000 % 60));
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: meridex-floor CONNECTION [LISTFILE]\n");
    return 2;
  }
  const char* path = argc == 3 ? argv[2] : "Vestrum.csv";

  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, (SQLPOINTER)SQL_OV_ODBC3, 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  if (!Ok(SQLDriverConnect(dbc, NULL, (SQLCHAR*)argv[1], SQL_NTS, NULL, 0, NULL, SQL_DRIVER_NOPROMPT))) {
    Diagnose("connect", SQL_HANDLE_DBC, dbc);
    return 1;
  }
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);

  /* The tool hands the driver a wide statement; so does the floor. */
  SQLWCHAR statement[sizeof kStatement];
  for (size_t i = 0; i < sizeof kStatement; ++i) statement[i] = (SQLWCHAR)kStatement[i];
  if (!Ok(SQLExecDirectW(stmt, statement, SQL_NTS))) {
    Diagnose("select", SQL_HANDLE_STMT, stmt);
    return 1;
  }

  SQLINTEGER fileId = 0, operationType = 0;
  SQLWCHAR name[NAME_BYTES / sizeof(SQLWCHAR)];
  unsigned char ident[IDENT_BYTES];
  SQLLEN idInd = 0, nameInd = 0, identInd = 0, opInd = 0;
  SQLBindCol(stmt, 1, SQL_C_LONG, &fileId, sizeof fileId, &idInd);
  SQLBindCol(stmt, 2, SQL_C_WCHAR, name, NAME_BYTES, &nameInd);
  SQLBindCol(stmt, 3, SQL_C_BINARY, ident, IDENT_BYTES, &identInd);
  SQLBindCol(stmt, 4, SQL_C_LONG, &operationType, sizeof operationType, &opInd);

  g_file = fopen(path, "wb");
  if (g_file == NULL) {
    perror(path);
    return 1;
  }
  static const char kHeader[] = "File Name, File Write Time\n";
  memcpy(g_out, kHeader, sizeof kHeader - 1);
  g_used = sizeof kHeader - 1;

  long long rows = 0;
  SQLRETURN rc;
  while ((rc = SQLFetch(stmt)) != SQL_NO_DATA) {
    if (!Ok(rc)) {
      Diagnose("fetch", SQL_HANDLE_STMT, stmt);
      return 1;
    }
    if (g_used + LINE_MAX_BYTES > OUT_BUFFER) Flush();
    char* out = g_out + g_used;
    /* A NULL name is listed as empty, as the tool lists it. */
    if (nameInd != SQL_NULL_DATA) out = PutUtf8(out, name);
    if (identInd == 8) out = PutWriteTime(out, ident);
    *out++ = '\n';
    g_used = (size_t)(out - g_out);
    ++rows;
  }
  Flush();
  if (fclose(g_file) != 0) g_writeFailed = 1;
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  if (g_writeFailed) {
    fprintf(stderr, "meridex-floor: cannot write %s\n", path);
    return 1;
  }
  printf("%lld rows\n", rows);
  return 0;
}
