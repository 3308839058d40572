#include <clocale>
#include <initializer_list>
#include <locale.h>

#include "OdbcApi.h"

namespace {

// The thread's character type is UTF-8 while this lives, and as it was afterwards.
class CUtf8CharacterType {
 public:
  CUtf8CharacterType() {
    for (const char* name : {"C.UTF-8", "en_US.UTF-8"}) {
      m_utf8 = ::newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(0));
      if (m_utf8 != static_cast<locale_t>(0)) break;
    }
    if (m_utf8 != static_cast<locale_t>(0)) m_previous = ::uselocale(m_utf8);
  }
  ~CUtf8CharacterType() {
    if (m_utf8 == static_cast<locale_t>(0)) return;
    ::uselocale(m_previous);
    ::freelocale(m_utf8);
  }
  CUtf8CharacterType(const CUtf8CharacterType&) = delete;
  CUtf8CharacterType& operator=(const CUtf8CharacterType&) = delete;

 private:
  locale_t m_utf8 = static_cast<locale_t>(0);
  locale_t m_previous = static_cast<locale_t>(0);
};

}  // namespace

// NOTE: unixODBC gives a driver without wide entry points (the SQLite3 ODBC driver has
// only SQLDriverConnect and the other narrow calls) its text converted by iconv into the
// codeset of the locale in force when the connection handle is made (Debian's build; one
// built with driver-specific conversions does it when the connection is made), and keeps
// that conversion for the handle's life. The tool sets no locale, so that codeset is
// ASCII: iconv fails on "é" and unixODBC falls back to the low byte of each UTF-16 unit,
// so the path "Bé.db" reached SQLite as "B\xE9.db", another file. Making the handle and
// the connection under a UTF-8 character type (this thread only, these calls only) makes
// the conversion UTF-8, the encoding SQLite takes for file names and text. Drivers with
// wide entry points (psqlODBC, MariaDB Connector/ODBC) are handed the wide text
// unconverted either way.

SQLRETURN AllocateConnectionHandle(SQLHANDLE environment, SQLHANDLE* connection) {
  CUtf8CharacterType utf8;
  return SQLAllocHandle(SQL_HANDLE_DBC, environment, connection);
}

SQLRETURN DriverConnectW(SQLHDBC dbc, SQLHWND window, const char16_t* in, char16_t* out, SQLSMALLINT outChars,
                         SQLSMALLINT* outLength, SQLUSMALLINT completion) {
  CUtf8CharacterType utf8;
  return SQLDriverConnectW(dbc, window, AsSqlText(in), SQL_NTS, out != nullptr ? AsSqlText(out) : nullptr, outChars,
                           outLength, completion);
}
