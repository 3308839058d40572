#include "StoredRowSet.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "Utf8Sequence.h"
#include "WideText.h"

namespace {

constexpr int kNameHexColumn = 6, kIdentificationHexColumn = 7;
constexpr int kRowDigestColumn = 6, kNameBytesColumn = 7;
// What a NULL puts where a value's length would stand in a tool-side digest: no value is
// that long.
constexpr uint64_t kNull = ~0ULL;
constexpr std::size_t kShownUnits = CRegTreeRecSet::kFileNameChars - 1;

// Each character's value as a hexadecimal digit, or -1: a table, since every listed
// SQLite row passes its name through here.
struct HexDigits {
  int8_t value[256];
  constexpr HexDigits() : value() {
    for (int c = 0; c < 256; ++c) value[c] = -1;
    for (int c = 0; c < 10; ++c) value['0' + c] = static_cast<int8_t>(c);
    for (int c = 0; c < 6; ++c) value['A' + c] = value['a' + c] = static_cast<int8_t>(10 + c);
  }
};
constexpr HexDigits kHexDigits;

// Hexadecimal text into bytes; false at a character that is no digit or an odd count.
bool DecodeHex(std::string_view hex, uint8_t* out) {
  if (hex.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = kHexDigits.value[static_cast<uint8_t>(hex[i])];
    const int low = kHexDigits.value[static_cast<uint8_t>(hex[i + 1])];
    if ((high | low) < 0) return false;
    *out++ = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

bool ParseDigest(const char* text, int32_t slot, uint64_t& value) {
  uint8_t bytes[8];
  if (slot != 16 || !DecodeHex(std::string_view(text, 16), bytes)) return false;
  value = 0;
  for (uint8_t b : bytes) value = value << 8 | b;
  return true;
}

// The stored UTF-8 bytes that fill at most the 260 UTF-16 units a line shows: a
// character is one unit, or two beyond the BMP; a byte that begins no character, one.
std::size_t ShownUtf8Bytes(std::string_view bytes, bool& more) {
  std::size_t units = 0, i = 0;
  while (i < bytes.size()) {
    char32_t c = 0;
    const std::size_t length = std::max<std::size_t>(Utf8Sequence(bytes.substr(i), c), 1);
    const std::size_t needed = length == 4 ? 2 : 1;
    if (units + needed > kShownUnits) break;
    units += needed;
    i += length;
  }
  more = i < bytes.size();
  return i;
}

void AppendHex(std::u16string& out, const uint8_t* bytes, std::size_t length) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  for (std::size_t i = 0; i < length; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0xF];
  }
}

// The servers' digests. Every value goes in with what tells it apart: 00 for NULL, else
// 01, its length (8 bytes) where it has one, and its stored bytes, so that no two rows
// are ever encoded alike. The first 8 bytes of the SHA-256, as an unsigned big-endian
// number, are what is summed. The keys alone are summed as they are: that sum only tells
// the operator a changed row from another row, and a second SHA-256 a row cost the
// listing and the check nearly as much as the first (measured on PostgreSQL: 0.9 s
// against 1.3 s a million rows).
//
// PostgreSQL: the row as its binary send function writes it (record_send: the column
// count, then each column's type, its length or -1 for NULL, and its bytes), which is
// all that and one call: 0.43 s of server time a million rows against 0.68 s for the
// same encoding spelled out with || (measured in psql). The name's bytes are those of
// the session's encoding, UTF-8 as psqlODBC's Unicode driver sets it: what a UTF-8
// database stores, and a lossless conversion from any other.
std::u16string PostgresRowBytes(const std::u16string& key) {
  return u"'\\x" + key + u"'::bytea || record_send(ROW(FileID, FileName, FileIdentification, OperationType))";
}

std::u16string PostgresDigestHex(const std::u16string& bytes) {
  return u"encode(substr(sha256(" + bytes + u"), 1, 8), 'hex')";
}

// MariaDB: the name's bytes as its column's character set stores them (a binary cast),
// lengths in bytes, integers as 8 bytes (HEX of a negative one is its 64-bit two's
// complement).
std::u16string MariaInteger(const char16_t* column) {
  return std::u16string(u"IF(") + column + u" IS NULL, X'00', CONCAT(X'01', UNHEX(LPAD(HEX(" + column +
         u"), 16, '0'))))";
}

std::u16string MariaBytes(const char16_t* column, const char16_t* bytes) {
  return std::u16string(u"IF(") + column + u" IS NULL, X'00', CONCAT(X'01', UNHEX(LPAD(HEX(LENGTH(" + column +
         u")), 16, '0')), " + bytes + u"))";
}

std::u16string MariaRowBytes(const std::u16string& key) {
  return u"CONCAT(UNHEX('" + key + u"'), " + MariaInteger(u"FileID") + u", " +
         MariaBytes(u"FileName", u"CAST(FileName AS BINARY)") + u", " +
         MariaBytes(u"FileIdentification", u"FileIdentification") + u", " + MariaInteger(u"OperationType") + u")";
}

std::u16string MariaDigestHex(const std::u16string& bytes) { return u"LEFT(SHA2(" + bytes + u", 256), 16)"; }

// Where the server digests the identification, the list needs of it only the 8 bytes
// of the last-write time of a record (a value of another length shows no time): the
// other 104 bytes need not cross the connection, nor be decoded from hexadecimal by
// psqlODBC, nor be held by MariaDB's driver for every row of the result.
std::u16string WriteTimeColumn() {
  const auto number = [](std::size_t n) {
    std::u16string text;
    for (const char c : std::to_string(n)) text += static_cast<char16_t>(c);
    return text;
  };
  return u"CASE WHEN length(FileIdentification) = " + number(kFileIdentificationSize) +
         u" THEN substr(FileIdentification, " + number(kLastWriteTimeOffset + 1) + u", 8) END";
}

// NOTE: SQL Server would compute the same with HASHBYTES('SHA2_256', ...) over
// CAST(FileID AS binary(8)), CAST(DATALENGTH(FileName) AS binary(8)), CAST(FileName AS
// varbinary(max)) (its UTF-16), and so on, summing CONVERT(bigint, SUBSTRING(digest, 1,
// 8)) as decimal(38) so that the sum cannot overflow. Not run here: no SQL Server is at
// hand for the tests, so that server takes the tool-side digest of the bound columns.

// The answer of a summary statement (SummaryStatement's): the count and the two sums.
bool QuerySums(CODBCDatabase* database, const std::u16string& statement, CStoredRowSet::Sums& sums,
               _SQL_Error& error) {
  const auto fail = [&error](const char16_t* text) {
    error = _SQL_Error();
    std::u16string_view(u"HY000").copy(error.sqlState, 5);
    error.message[std::u16string_view(text).copy(error.message, std::size(error.message) - 1)] = u'\0';
    error.returnCode = SQL_ERROR;
    return false;
  };
  CODBCRecordset summary(database, CODBCTypedRecordset::kReadOnlyCursor, CODBCTypedRecordset::kNoOptions, 0);
  if (summary.Open(statement.c_str()) < 0 || summary.IsEof()) {
    return summary.GetError(error) ? false : fail(u"The server gave no sums of the rows.");
  }
  uint64_t values[3] = {};
  for (int column = 1; column <= 3; ++column) {
    std::string text;
    int64_t total = 0;
    const auto piece = [](void* context, const uint8_t* bytes, std::size_t length) {
      static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(bytes), length);
    };
    if (!SqlSucceeded(summary.ReadWholeValue(column, SQL_C_CHAR, piece, &text, total))) {
      (void)summary.GetError(error);
      return false;
    }
    // The sums of no rows are NULL.
    if (total != SQL_NULL_DATA && !DecimalModulo64(text, values[column - 1])) {
      return fail(u"The server's sums of the rows are not numbers.");
    }
  }
  sums.count = static_cast<int64_t>(values[0]);
  sums.rows = values[1];
  sums.keys = values[2];
  return true;
}

}  // namespace

bool DecimalModulo64(std::string_view text, uint64_t& value) {
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');  // wraps: mod 2^64, as asked
  }
  value = negative ? 0 - v : v;
  return true;
}

// PostgreSQL: the sums of the listed rows, which the server computes on a second
// connection, in the listing's snapshot, while the listing reads the rows. NOTE: the
// SHA-256 of every row in the listing's own statement made the listing half as slow
// again (measured at 1,000,000 rows: 3.7 s against 2.5 s), since the tool waits while the
// server hashes each batch; on a connection of its own, the server hashes while the tool
// lists (1.9 s).
class CStoredRowSet::CSharedSummary {
 public:
  CSharedSummary(const CODBCDatabase& listing, std::u16string snapshot, std::u16string statement)
      : m_connection(listing.ConnectionText()),
        m_lockWait(listing.LockWaitSeconds()),
        m_snapshot(std::move(snapshot)),
        m_statement(std::move(statement)) {
    try {
      m_thread = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      // No thread to be had: the listing's own connection asks for the sums afterwards.
    }
  }
  ~CSharedSummary() {
    if (m_thread.joinable()) m_thread.join();
  }
  CSharedSummary(const CSharedSummary&) = delete;
  CSharedSummary& operator=(const CSharedSummary&) = delete;

  // Waits for the second connection; false when it could not give the sums.
  bool Wait(Sums& sums) {
    if (!m_thread.joinable()) return false;
    m_thread.join();
    if (m_summed) sums = m_sums;
    return m_summed;
  }
  const std::u16string& Statement() const { return m_statement; }

 private:
  void Run() noexcept {
    try {
      // Closed, and its transaction rolled back, as it leaves scope.
      CODBCDatabase session;
      _SQL_Error error;
      m_summed = session.DriverConnect(m_connection.c_str(), nullptr, nullptr, sqlNoPrompt) != 0 &&
                 (m_lockWait <= 0 || session.LimitLockWaits(m_lockWait, error) != 0) &&
                 session.BeginInSnapshot(m_snapshot, error) != 0 && QuerySums(&session, m_statement, m_sums, error);
    } catch (...) {
      m_summed = false;
    }
  }

  const std::u16string m_connection;
  const int m_lockWait;
  const std::u16string m_snapshot;
  const std::u16string m_statement;
  bool m_summed = false;
  Sums m_sums;
  std::thread m_thread;
};

CStoredRowSet::CStoredRowSet(CODBCDatabase* database, const uint8_t (&key)[kKeyBytes])
    : CRegTreeRecSet(database, kReadOnlyCursor, kNoOptions),
      m_sipKey(CSipHash::Key::FromBytes(key)),
      m_nameHex{},
      m_identificationHex{},
      m_rowDigest{},
      m_nameBytes{},
      m_identification{} {
  std::memcpy(m_key, key, sizeof m_key);
}

CStoredRowSet::~CStoredRowSet() {
  // The key must not outlive the run in memory that is handed out again.
  volatile uint8_t* key = m_key;
  for (std::size_t i = 0; i < sizeof m_key; ++i) key[i] = 0;
}

CStoredRowSet::Reading CStoredRowSet::ReadingOf(CODBCDatabase::Server server) const {
  switch (server) {
    case CODBCDatabase::Server::SQLite:
      return Reading::Hex;
    case CODBCDatabase::Server::PostgreSQL:
    case CODBCDatabase::Server::MariaDB:
      return Reading::Server;
    default:
      return Reading::Bound;
  }
}

std::u16string CStoredRowSet::SelectionStatement(std::u16string_view condition) const {
  const CODBCDatabase::Server server = Database() != nullptr ? Database()->ServerKind() : CODBCDatabase::Server::Other;
  std::u16string key;
  AppendHex(key, m_key, sizeof m_key);
  std::u16string columns;
  switch (server) {
    // NOTE: the SQLite3 driver turns a name's bytes that are not UTF-8 into other
    // characters (or drops them), ends every text at its first NUL, and carries a BLOB as
    // hexadecimal text that it decodes with a search per digit, the largest cost of its
    // reading (measured). SQLite's own hex() of each value is read instead, as text that
    // nothing converts: the whole stored value, in a form the digest takes as it is. The
    // bound name and identification are not read, and FileData's place is held by a NULL.
    // (hex() of a NULL is empty, hence the CASE: a NULL stays NULL.)
    case CODBCDatabase::Server::SQLite:
      columns = u"FileID, NULL, NULL, OperationType, NULL, CASE WHEN FileName IS NOT NULL THEN 'x' || hex(FileName) END, "
                u"CASE WHEN FileIdentification IS NOT NULL THEN 'x' || hex(FileIdentification) END";
      break;
    case CODBCDatabase::Server::PostgreSQL:
      columns = u"FileID, FileName, " + WriteTimeColumn() + u", OperationType, NULL";
      if (m_reading != Reading::Summed) columns += u", " + PostgresDigestHex(PostgresRowBytes(key));
      break;
    // NOTE: MariaDB Connector/ODBC's wide text of a name whose bytes the connection's
    // character set cannot decode (a VARBINARY name, CHARSET=latin1) is wrong or cut short
    // (measured with 3.1.15); its binary reading of the stored bytes is whole.
    case CODBCDatabase::Server::MariaDB:
      columns = u"FileID, NULL, " + WriteTimeColumn() + u", OperationType, NULL, " + MariaDigestHex(MariaRowBytes(key)) +
                u", CAST(FileName AS BINARY)";
      break;
    default:
      columns = u"FileID, FileName, FileIdentification, OperationType";
      break;
  }
  return u"SELECT " + columns + u" FROM FileTree WHERE " + std::u16string(condition);
}

std::u16string CStoredRowSet::SummaryStatement(std::u16string_view condition) const {
  std::u16string key;
  AppendHex(key, m_key, sizeof m_key);
  std::u16string sums;
  if (Database() != nullptr && Database()->ServerKind() == CODBCDatabase::Server::PostgreSQL) {
    // SUM of bigint is numeric: exact, whatever the count.
    const auto word = [](const std::u16string& bytes) {
      return u"sum(('x' || " + PostgresDigestHex(bytes) + u")::bit(64)::bigint)";
    };
    sums = word(PostgresRowBytes(key)) + u", sum(FileID::int8)";
  } else {
    // SUM of BIGINT UNSIGNED is DECIMAL: exact too.
    const auto word = [](const std::u16string& bytes) {
      return u"SUM(CAST(CONV(" + MariaDigestHex(bytes) + u", 16, 10) AS UNSIGNED))";
    };
    sums = word(MariaRowBytes(key)) + u", SUM(FileID)";
  }
  return u"SELECT COUNT(*), " + sums + u" FROM FileTree WHERE " + std::u16string(condition);
}

bool CStoredRowSet::ReadEncoding() {
  // NOTE: SQLite keeps a database's text in the encoding it was created with; hex()
  // gives those bytes. A database made by sqlite3_open16 holds UTF-16.
  m_encoding = Encoding::Utf8;
  CODBCRecordset pragma(Database(), kReadOnlyCursor, kNoOptions, 0);
  if (pragma.Open(u"PRAGMA encoding") < 0 || pragma.IsEof()) return false;
  std::string text;
  int64_t total = 0;
  const auto piece = [](void* context, const uint8_t* bytes, std::size_t length) {
    static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(bytes), length);
  };
  if (!SqlSucceeded(pragma.ReadWholeValue(1, SQL_C_CHAR, piece, &text, total))) return false;
  if (text == "UTF-16le") m_encoding = Encoding::Utf16le;
  if (text == "UTF-16be") m_encoding = Encoding::Utf16be;
  return true;
}

int CStoredRowSet::OpenRows(std::u16string_view condition) {
  m_reading = Database() != nullptr ? ReadingOf(Database()->ServerKind()) : Reading::Bound;
  if (m_reading == Reading::Hex && !ReadEncoding()) {
    // An answer this plain statement cannot give leaves the encoding SQLite's default;
    // the selection then fails for the same reason, if it is one.
    m_encoding = Encoding::Utf8;
  }
  if (Database() != nullptr && Database()->ServerKind() == CODBCDatabase::Server::PostgreSQL) {
    StartSharedSummary(condition);
  }
  const int opened = Open(SelectionStatement(condition).c_str());
  if (opened < 0 && m_summary != nullptr) {
    Sums unused;
    (void)FinishRows(0, unused);
  }
  return opened;
}

void CStoredRowSet::StartSharedSummary(std::u16string_view condition) {
  std::u16string snapshot;
  _SQL_Error error;
  // Without a snapshot to share, each row carries its digest, as on MariaDB.
  if (Database()->BeginSharedSnapshot(snapshot, error) == 0) return;
  m_reading = Reading::Summed;
  m_summary = std::make_unique<CSharedSummary>(*Database(), std::move(snapshot), SummaryStatement(condition));
}

bool CStoredRowSet::FinishRows(int64_t rows, Sums& sums) {
  if (m_summary == nullptr) return true;
  _SQL_Error error;
  const bool readWhole = !GetError(error);
  Sums summed;
  bool ok = m_summary->Wait(summed);
  // A second connection refused (a limit on sessions, a listener that sent it elsewhere)
  // leaves the sums to this one, in the same snapshot.
  if (readWhole && !ok) ok = QuerySums(Database(), m_summary->Statement(), summed, error);
  m_summary.reset();
  _SQL_Error ended;
  if (Database()->EndTransaction(false, ended) == 0 && ok) {
    error = ended;
    ok = false;
  }
  // A failed read keeps its own error, which the caller reports.
  if (!readWhole) return false;
  if (ok && summed.count != rows) {
    RecordError(u"HY000", u"The server summed other rows than were listed.");
    return false;
  }
  if (!ok) {
    RecordError(error.sqlState, error.message);
    return false;
  }
  sums = summed;
  return true;
}

bool CStoredRowSet::BindAllFields() {
  if (!CRegTreeRecSet::BindAllFields()) return false;
  const auto bind = [this](int column, void* buffer, SQLSMALLINT type, int capacity, int32_t& slot) {
    slot = capacity;
    const int r = BindField(column, buffer, type, &slot);
    return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO;
  };
  switch (m_reading) {
    case Reading::Bound:
    case Reading::Summed:
      return true;
    case Reading::Hex:
      return bind(kNameHexColumn, m_nameHex, SQL_C_CHAR, kNameHexCapacity, m_extraSlots[0]) &&
             bind(kIdentificationHexColumn, m_identificationHex, SQL_C_CHAR, kIdentificationHexCapacity,
                  m_extraSlots[1]);
    case Reading::Server:
      if (!bind(kRowDigestColumn, m_rowDigest, SQL_C_CHAR, kDigestHexCapacity, m_extraSlots[0])) return false;
      return ResultColumns() < kNameBytesColumn ||
             bind(kNameBytesColumn, m_nameBytes, SQL_C_BINARY, kNameBytesCapacity, m_extraSlots[1]);
  }
  return false;
}

SQLRETURN CStoredRowSet::GetLongFieldsData() {
  // The rows are read, never written: FileData is not asked for (its place holds a NULL).
  if (m_reading != Reading::Bound) return SQL_SUCCESS;
  return CRegTreeRecSet::GetLongFieldsData();
}

bool CStoredRowSet::HashHexValue(int column, const char* buffer, int32_t slot, int capacity, CSipHash& hash) {
  if (slot == SQL_NULL_DATA) {
    hash.UpdateWord(kNull);
    return true;
  }
  if (slot >= 0 && slot < capacity) {
    hash.Update(buffer, static_cast<std::size_t>(slot));
    hash.UpdateWord(static_cast<uint64_t>(slot));
    return true;
  }
  // Longer than the buffer: read whole again. Only such rows pay for it.
  int64_t total = 0;
  const auto piece = [](void* context, const uint8_t* bytes, std::size_t length) {
    static_cast<CSipHash*>(context)->Update(bytes, length);
  };
  if (!SqlSucceeded(ReadWholeValue(column, SQL_C_CHAR, piece, &hash, total))) return false;
  hash.UpdateWord(total == SQL_NULL_DATA ? kNull : static_cast<uint64_t>(total));
  return true;
}

bool CStoredRowSet::ReadSqliteRow(Name& name, Digest& digest) {
  CSipHash row(m_sipKey);
  row.UpdateWord(IsFileIDNull() ? kNull : static_cast<uint32_t>(GetFileID()));
  row.UpdateWord(IsNull(kOperationTypeColumn) ? kNull : static_cast<uint32_t>(GetOperationType()));
  if (!HashHexValue(kNameHexColumn, m_nameHex, m_extraSlots[0], kNameHexCapacity, row) ||
      !HashHexValue(kIdentificationHexColumn, m_identificationHex, m_extraSlots[1], kIdentificationHexCapacity, row)) {
    return false;
  }
  CSipHash key(m_sipKey);
  key.UpdateWord(1ULL << 32);  // a row's first word is a 32-bit key or kNull, never this
  key.UpdateWord(IsFileIDNull() ? kNull : static_cast<uint32_t>(GetFileID()));
  digest = {row.Final(), key.Final()};

  const int32_t slot = m_extraSlots[0];
  name = Name();
  if (slot == SQL_NULL_DATA) {
    name.null = true;
    return true;
  }
  // The bytes the buffer holds after the 'x' (the whole value, or its beginning).
  const std::size_t held = slot >= 0 && slot < kNameHexCapacity ? static_cast<std::size_t>(slot) : kNameHexCapacity - 1;
  const std::size_t hexDigits = (held > 0 ? held - 1 : 0) & ~std::size_t{1};
  const bool valueCut = !(slot >= 0 && slot < kNameHexCapacity);
  m_decodedName.resize(hexDigits / 2);
  if (m_nameHex[0] != 'x' ||
      !DecodeHex(std::string_view(m_nameHex + 1, hexDigits), reinterpret_cast<uint8_t*>(m_decodedName.data()))) {
    RecordError(u"HY000", u"The database did not give a name's stored bytes in hexadecimal.");
    return false;
  }
  bool more = false;
  if (m_encoding == Encoding::Utf8) {
    name.utf8 = true;
    name.bytes = std::string_view(m_decodedName).substr(0, ShownUtf8Bytes(m_decodedName, more));
  } else {
    const std::size_t units = m_decodedName.size() / 2;
    Utf16FromBytes(m_decodedName, m_encoding == Encoding::Utf16le, m_decodedText, kShownUnits);
    more = units > kShownUnits;
    name.text = m_decodedText;
  }
  name.cut = more || valueCut;
  return true;
}

bool CStoredRowSet::ReadServerRow(Name& name, Digest& digest) {
  // The key as the server's SUM(FileID) adds it (a NULL adds nothing).
  digest.key = IsFileIDNull() ? 0 : static_cast<uint64_t>(static_cast<int64_t>(GetFileID()));
  digest.row = 0;  // summed apart (Reading::Summed)
  if (m_reading == Reading::Server && !ParseDigest(m_rowDigest, m_extraSlots[0], digest.row)) {
    RecordError(u"HY000", u"The server did not give the digest of a row.");
    return false;
  }
  name = Name();
  if (ResultColumns() < kNameBytesColumn) {  // PostgreSQL: its text as it converts, losslessly
    name.null = IsFileNameNull();
    name.text = GetFetchedFileName();
    name.cut = IsCut(kFileNameColumn);
    return true;
  }
  const int32_t slot = m_extraSlots[1];
  if (slot == SQL_NULL_DATA) {
    name.null = true;
    return true;
  }
  const bool valueCut = !(slot >= 0 && slot <= kNameBytesCapacity);
  const std::string_view held(reinterpret_cast<const char*>(m_nameBytes),
                              valueCut ? kNameBytesCapacity : static_cast<std::size_t>(slot));
  bool more = false;
  name.utf8 = true;
  name.bytes = held.substr(0, ShownUtf8Bytes(held, more));
  name.cut = more || valueCut;
  return true;
}

bool CStoredRowSet::ReadRow(Name& name, Digest& digest) {
  switch (m_reading) {
    case Reading::Hex:
      return ReadSqliteRow(name, digest);
    case Reading::Server:
    case Reading::Summed:
      return ReadServerRow(name, digest);
    case Reading::Bound:
      break;
  }
  // A server that cannot hash here: the bound values as its driver hands them over, a
  // value longer than its buffer read whole again. (SQL Server stores names as UTF-16,
  // which its drivers hand over as stored.)
  CSipHash row(m_sipKey);
  row.UpdateWord(IsFileIDNull() ? kNull : static_cast<uint32_t>(GetFileID()));
  row.UpdateWord(IsNull(kOperationTypeColumn) ? kNull : static_cast<uint32_t>(GetOperationType()));
  const auto piece = [](void* context, const uint8_t* bytes, std::size_t length) {
    static_cast<CSipHash*>(context)->Update(bytes, length);
  };
  const auto value = [&](Column column, SQLSMALLINT type, const void* fetched, std::size_t length) {
    if (IsNull(column)) {
      row.UpdateWord(kNull);
      return true;
    }
    if (!IsCut(column)) {
      row.Update(fetched, length);
      row.UpdateWord(length);
      return true;
    }
    int64_t total = 0;
    if (!SqlSucceeded(ReadWholeValue(column, type, piece, &row, total))) return false;
    row.UpdateWord(total == SQL_NULL_DATA ? kNull : static_cast<uint64_t>(total));
    return true;
  };
  const std::u16string_view text = GetFetchedFileName();
  const std::size_t identificationBytes =
      std::min<std::size_t>(static_cast<std::size_t>(GetFileIdentificationLength()), kFileIdentificationBytes);
  if (!value(kFileNameColumn, SQL_C_WCHAR, text.data(), text.size() * sizeof(char16_t)) ||
      !value(kFileIdentificationColumn, SQL_C_BINARY, GetFileIdentification(), identificationBytes)) {
    return false;
  }
  CSipHash key(m_sipKey);
  key.UpdateWord(1ULL << 32);
  key.UpdateWord(IsFileIDNull() ? kNull : static_cast<uint32_t>(GetFileID()));
  digest = {row.Final(), key.Final()};
  name = Name();
  name.null = IsFileNameNull();
  name.text = text;
  name.cut = IsCut(kFileNameColumn);
  return true;
}

const uint8_t* CStoredRowSet::ListedIdentification(int& length) {
  if (m_reading == Reading::Bound) {
    length = GetFileIdentificationLength();
    return GetFileIdentification();
  }
  if (m_reading == Reading::Server || m_reading == Reading::Summed) {
    // The time of a record alone (WriteTimeColumn), put where a record holds it.
    const uint8_t* time = GetFileIdentification();
    length = 0;
    if (time == nullptr || GetFileIdentificationLength() != 8) return nullptr;
    std::memcpy(m_identification + kLastWriteTimeOffset, time, 8);
    length = static_cast<int>(kFileIdentificationSize);
    return m_identification;
  }
  const int32_t slot = m_extraSlots[1];
  length = 0;
  if (slot == SQL_NULL_DATA) return nullptr;
  // Only a record of the 112 bytes shows a time; other lengths are told as they are.
  length = slot >= 1 && slot < kIdentificationHexCapacity ? (slot - 1) / 2 : kFileIdentificationBytes + 1;
  if (static_cast<std::size_t>(length) != kFileIdentificationSize) return m_identification;
  // The list shows the last-write time alone: only its 8 bytes are decoded (the digest
  // took the whole value).
  return DecodeHex(std::string_view(m_identificationHex + 1 + 2 * kLastWriteTimeOffset, 16),
                   m_identification + kLastWriteTimeOffset)
             ? m_identification
             : nullptr;
}

bool CStoredRowSet::SummarizeOnServer(std::u16string_view condition, Sums& sums, _SQL_Error& error) {
  return QuerySums(Database(), SummaryStatement(condition), sums, error);
}

bool CStoredRowSet::Summarize(std::u16string_view condition, Sums& sums, Progress progress, void* context,
                              _SQL_Error& error) {
  sums = Sums();
  if (Database() != nullptr && ReadingOf(Database()->ServerKind()) == Reading::Server) {
    return SummarizeOnServer(condition, sums, error);
  }
  // A selection without a result set and without an error yields no row.
  if (OpenRows(condition) < 0) return !GetError(error);
  Name name;
  Digest digest;
  while (!IsEof() && ReadRow(name, digest)) {
    sums.Add(digest);
    if (progress != nullptr) progress(context, sums.count);
    (void)MoveNext();
  }
  const bool failed = GetError(error);
  Close();
  return !failed;
}
