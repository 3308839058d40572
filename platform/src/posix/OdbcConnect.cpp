#include <algorithm>
#include <clocale>
#include <cstring>
#include <dlfcn.h>
#include <initializer_list>
#include <locale.h>
#include <optional>
#include <string>
#include <string_view>

#include "ConnectionString.h"
#include "OdbcApi.h"
#include "UniqueHandle.h"
#include "WideText.h"

// NOTE: unixODBC gives a driver without wide entry points (the SQLite3 ODBC driver has
// only SQLDriverConnect and the other narrow calls) its text converted by iconv into the
// codeset of the locale in force when the connection handle is made (Debian's build; one
// built with driver-specific conversions does it when the connection is made), and when
// iconv fails it keeps the low byte of each UTF-16 unit. The tool sets no locale, so that
// codeset was ASCII and the path "Bé.db" reached SQLite as "B\xE9.db", another file.
// Making the handle and the connection under a UTF-8 character type (this thread only,
// these calls only) makes the conversion UTF-8, which is what SQLite takes for file names
// and statements. That is not enough for the connection string itself: unixODBC 2.3.11
// converts it into a buffer of one byte per UTF-16 unit (plus one), too small for UTF-8
// as soon as two characters need more than one byte, and falls back to the low bytes
// again. So a connection string that is not ASCII goes to such a driver through the
// narrow SQLDriverConnect as UTF-8, which unixODBC hands over unconverted. Drivers with
// wide entry points (psqlODBC, MariaDB Connector/ODBC) are given the wide text as before,
// unconverted by the driver manager.

namespace {

struct LocaleTraits {
  using Type = locale_t;
  static Type Invalid() { return static_cast<locale_t>(0); }
  static void Close(Type locale) { ::freelocale(locale); }
};

struct LibraryTraits {
  using Type = void*;
  static Type Invalid() { return nullptr; }
  static void Close(Type library) { (void)::dlclose(library); }
};

struct EnvironmentTraits {
  using Type = SQLHANDLE;
  static Type Invalid() { return SQL_NULL_HANDLE; }
  static void Close(Type handle) { (void)SQLFreeHandle(SQL_HANDLE_ENV, handle); }
};

// The thread's character type is UTF-8 while this lives, and as it was afterwards.
class CUtf8CharacterType {
 public:
  CUtf8CharacterType() {
    for (const char* name : {"C.UTF-8", "en_US.UTF-8"}) {
      m_utf8.reset(::newlocale(LC_CTYPE_MASK, name, LocaleTraits::Invalid()));
      if (m_utf8) break;
    }
    if (m_utf8) m_previous = ::uselocale(m_utf8.get());
  }
  ~CUtf8CharacterType() {
    if (m_utf8) ::uselocale(m_previous);
  }
  CUtf8CharacterType(const CUtf8CharacterType&) = delete;
  CUtf8CharacterType& operator=(const CUtf8CharacterType&) = delete;

 private:
  CUniqueHandle<LocaleTraits> m_utf8;
  locale_t m_previous = LocaleTraits::Invalid();  // not ours: the thread's own or the global one
};

bool SameLetters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x >= 'a' && x <= 'z' ? x - 32 : x) == (y >= 'a' && y <= 'z' ? y - 32 : y);
         });
}

// The value that unixODBC takes for key; "" when absent.
std::string ConnectionValue(const char16_t* text, std::u16string_view lowerKey) {
  const std::optional<ConnectionAttribute> found = FindConnectionAttribute(text, kUnixOdbcReading, lowerKey);
  return found ? ToUtf8(found->value) : std::string();
}

// The driver manager's lists of drivers and of data sources: a name and one more text for
// each entry.
using ListCall = SQLRETURN SQL_API (*)(SQLHENV, SQLUSMALLINT, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*, SQLCHAR*,
                                       SQLSMALLINT, SQLSMALLINT*);
constexpr std::size_t kListTextBytes = 4096;

// The other text of the entry of list named name; false when there is none.
bool FindEntry(ListCall list, SQLHENV environment, const std::string& name, SQLCHAR (&text)[kListTextBytes]) {
  SQLCHAR entry[256];
  SQLSMALLINT entryLength = 0;
  SQLSMALLINT textLength = 0;
  for (SQLUSMALLINT direction = SQL_FETCH_FIRST;
       SqlSucceeded(list(environment, direction, entry, sizeof entry, &entryLength, text, sizeof text, &textLength));
       direction = SQL_FETCH_NEXT) {
    if (SameLetters(reinterpret_cast<const char*>(entry), name)) return true;
  }
  return false;
}

// The "Driver=" attribute (its library) of the installed driver named name.
std::string DriverLibrary(SQLHENV environment, const std::string& name) {
  SQLCHAR attributes[kListTextBytes];
  if (!FindEntry(&SQLDrivers, environment, name, attributes)) return std::string();
  // "key=value" strings, each ended by a NUL, the list by another (or by the buffer's end,
  // when it was too small).
  const char* const end = reinterpret_cast<const char*>(attributes) + sizeof attributes;
  for (const char* a = reinterpret_cast<const char*>(attributes); a < end && *a != '\0';) {
    const std::size_t length = ::strnlen(a, static_cast<std::size_t>(end - a));
    if (length < static_cast<std::size_t>(end - a) && std::strncmp(a, "Driver=", 7) == 0) return a + 7;
    a += length + 1;
  }
  return std::string();
}

// The driver (its name) of the data source named name.
std::string DataSourceDriver(SQLHENV environment, const std::string& name) {
  SQLCHAR driver[kListTextBytes];
  return FindEntry(&SQLDataSources, environment, name, driver) ? reinterpret_cast<const char*>(driver) : "";
}

// Whether library exports symbol. A bare file name is looked for where the system's
// loader looks, then in the driver manager's module folder ("odbc" beside libodbc),
// where unixODBC looks.
bool Exports(const std::string& library, const char* symbol, bool& exports) {
  CUniqueHandle<LibraryTraits> handle(::dlopen(library.c_str(), RTLD_LAZY | RTLD_LOCAL));
  Dl_info manager;
  if (!handle && library.find('/') == std::string::npos &&
      ::dladdr(reinterpret_cast<void*>(&SQLDrivers), &manager) != 0 && manager.dli_fname != nullptr) {
    std::string folder = manager.dli_fname;
    folder.resize(folder.find_last_of('/') + 1);
    handle.reset(::dlopen((folder + "odbc/" + library).c_str(), RTLD_LAZY | RTLD_LOCAL));
  }
  if (!handle) return false;
  exports = ::dlsym(handle.get(), symbol) != nullptr;
  return true;
}

// True when the driver that the connection string names is known to lack
// SQLDriverConnectW. Any doubt (a driver not found, a library that does not load) is a
// no: the connection then goes as it always did.
bool DriverIsNarrowOnly(const char16_t* text) {
  // A driver manager environment of its own, for the lookups.
  SQLHANDLE handle = SQL_NULL_HANDLE;
  if (!SqlSucceeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &handle))) return false;
  const CUniqueHandle<EnvironmentTraits> environment(handle);
  SQLSetEnvAttr(environment.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  std::string driver = ConnectionValue(text, u"driver");
  if (driver.empty()) {
    const std::string source = ConnectionValue(text, u"dsn");
    driver = DataSourceDriver(environment.get(), source.empty() ? "DEFAULT" : source);
  }
  if (driver.empty()) return false;
  // NOTE: unixODBC takes a Driver= that names no installed driver for the library's own
  // file name (Driver=libsqlite3odbc.so), so such a name is the library.
  std::string library = driver.find('/') != std::string::npos ? driver : DriverLibrary(environment.get(), driver);
  if (library.empty()) library = driver;
  bool wide = true;
  return !library.empty() && Exports(library, "SQLDriverConnectW", wide) && !wide;
}

bool IsAscii(const char16_t* text) {
  for (; *text != 0; ++text) {
    if (*text >= 0x80) return false;
  }
  return true;
}

// SQLDriverConnect with UTF-8 text, the completed string given back as UTF-16.
SQLRETURN NarrowDriverConnect(SQLHDBC dbc, SQLHWND window, const std::string& in, char16_t* out,
                              SQLSMALLINT outChars, SQLSMALLINT* outLength, SQLUSMALLINT completion) {
  // UTF-8 takes at most three bytes for each UTF-16 unit.
  std::string completed(out != nullptr && outChars > 0 ? 3 * static_cast<std::size_t>(outChars) + 1 : 0, '\0');
  SQLSMALLINT completedLength = 0;
  const SQLRETURN rc = SQLDriverConnect(
      dbc, window, reinterpret_cast<SQLCHAR*>(const_cast<char*>(in.c_str())), SQL_NTS,
      completed.empty() ? nullptr : reinterpret_cast<SQLCHAR*>(completed.data()),
      static_cast<SQLSMALLINT>(std::min<std::size_t>(completed.size(), 32767)), &completedLength, completion);
  if (outLength != nullptr) *outLength = 0;
  if (SqlSucceeded(rc) && !completed.empty()) {
    completed.resize(std::strlen(completed.c_str()));
    const std::u16string wide = FromUtf8(completed);
    const std::size_t kept = std::min(wide.size(), static_cast<std::size_t>(outChars) - 1);
    std::copy(wide.begin(), wide.begin() + static_cast<std::ptrdiff_t>(kept), out);
    out[kept] = u'\0';
    if (outLength != nullptr) *outLength = static_cast<SQLSMALLINT>(std::min<std::size_t>(wide.size(), 32767));
  }
  return rc;
}

}  // namespace

SQLRETURN AllocateConnectionHandle(SQLHANDLE environment, SQLHANDLE* connection) {
  CUtf8CharacterType utf8;
  return SQLAllocHandle(SQL_HANDLE_DBC, environment, connection);
}

SQLRETURN DriverConnectW(SQLHDBC dbc, SQLHWND window, const char16_t* in, char16_t* out, SQLSMALLINT outChars,
                         SQLSMALLINT* outLength, SQLUSMALLINT completion) {
  CUtf8CharacterType utf8;
  if (!IsAscii(in)) {
    if (DriverIsNarrowOnly(in)) return NarrowDriverConnect(dbc, window, ToUtf8(in), out, outChars, outLength, completion);
  }
  return SQLDriverConnectW(dbc, window, AsSqlText(in), SQL_NTS, out != nullptr ? AsSqlText(out) : nullptr, outChars,
                           outLength, completion);
}
