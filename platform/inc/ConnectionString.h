#pragma once
// ODBC connection strings ("key=value" attributes separated by ';') as each program that
// reads one splits it. They do not agree, so a question about a string (which driver it
// names, what a driver takes for its Timeout, where a password is) is asked of the reader
// that will answer it, and a password is masked wherever any reader could find one.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How one reader splits a string.
struct ConnectionStringReading {
  bool braces;       // a value that begins with '{' runs to its closing '}' ("}}" is one '}'),
                     // ';' and '=' included; what follows the '}' up to the next ';' is dropped
  bool trimsBlanks;  // blanks around keys and values are dropped, also before a '{'
  bool strayRunsOn;  // a piece without '=' runs on into the next attribute's key
  bool firstWins;    // of a key given twice the first counts, otherwise the last
};

// NOTE: each measured on this machine, by what each one did with the same strings
// (unixODBC 2.3.11 finding Driver= and DSN=, psqlODBC 13.02, MariaDB Connector/ODBC
// 3.1.15, SQLite3 ODBC 0.9998 through their connections and completed strings). Wine's
// odbc32 hands the string to the host's unixODBC unread. None of them trims a key except
// MariaDB's; "a;Pwd=x" gives MariaDB's, unixODBC's and SQLite's reader the key "a;Pwd";
// "Pwd= {x;y}" is a braced value to MariaDB's alone; the SQLite3 driver knows no braces
// and takes a key's first value, the others its last.
inline constexpr ConnectionStringReading kUnixOdbcReading{true, false, true, false};
inline constexpr ConnectionStringReading kPsqlOdbcReading{true, false, false, false};
inline constexpr ConnectionStringReading kMariaDbReading{true, true, true, false};
inline constexpr ConnectionStringReading kSqliteOdbcReading{false, false, true, true};
inline constexpr ConnectionStringReading kEveryReading[] = {kUnixOdbcReading, kPsqlOdbcReading, kMariaDbReading,
                                                            kSqliteOdbcReading};

struct ConnectionAttribute {
  std::u16string_view key;  // as the reader takes it (without blanks where it trims them)
  std::u16string value;     // as the reader takes it: unbraced, "}}" as one '}'
  std::size_t valueStart;   // just past the '='
  std::size_t end;          // the attribute's ';', or the end of the string
};

// The attributes in the order they stand.
std::vector<ConnectionAttribute> ParseConnectionString(std::u16string_view text, const ConnectionStringReading& reading);

// Whether key is lowerKey (in small letters) in any letter case, as every reader compares keys.
bool IsConnectionKey(std::u16string_view key, std::u16string_view lowerKey);

// The attribute that the reader takes for the key (lowerKey in small letters; keys match
// in any letter case); nullopt when it finds none.
std::optional<ConnectionAttribute> FindConnectionAttribute(std::u16string_view text,
                                                           const ConnectionStringReading& reading,
                                                           std::u16string_view lowerKey);
