// MariaDB (and MySQL, and Galera clusters of either), through MariaDB Connector/ODBC:
// everything the tool does its own way there.

#include <algorithm>
#include <cstring>
#include <string>

#include "../RowReader.h"
#include "Servers.h"
#include "WideText.h"

namespace {

constexpr int32_t kDeadlock = 1213;

// The row's digest, from the bytes the server stores: every value goes in with what
// tells it apart (00 for NULL, else 01, its length in 8 bytes where it has one, and its
// bytes), so that no two rows are ever encoded alike; the first 8 bytes of the SHA-256
// are what is summed. The name's bytes are its column's character set's (a binary
// cast), lengths in bytes, integers as 8 bytes (HEX of a negative one is its 64-bit
// two's complement).
std::u16string Integer(const char16_t* column) {
  return std::u16string(u"IF(") + column + u" IS NULL, X'00', CONCAT(X'01', UNHEX(LPAD(HEX(" + column +
         u"), 16, '0'))))";
}

std::u16string Bytes(const char16_t* column, const char16_t* bytes) {
  return std::u16string(u"IF(") + column + u" IS NULL, X'00', CONCAT(X'01', UNHEX(LPAD(HEX(LENGTH(" + column +
         u")), 16, '0')), " + bytes + u"))";
}

std::u16string RowBytes(const std::u16string& key) {
  return u"CONCAT(UNHEX('" + key + u"'), " + Integer(u"FileID") + u", " +
         Bytes(u"FileName", u"CAST(FileName AS BINARY)") + u", " + Bytes(u"FileIdentification", u"FileIdentification") +
         u", " + Integer(u"OperationType") + u")";
}

std::u16string DigestHex(const std::u16string& bytes) { return u"LEFT(SHA2(" + bytes + u", 256), 16)"; }

// The name as the list reads it: the server decodes it in its column's character set
// into UTF-8; bytes of no character set (VARBINARY) are given as they are. A character
// the conversion cannot carry becomes '?', so the server converts the name a second time
// with every stored '?' made '!': a '?' in both is one that the conversion put there.
// Where the column holds UTF-8 or bytes, as Meridex's own does, the stored bytes are read
// as they are, and no second name is sent with each row.
const char16_t* const kStoredName = u"CAST(FileName AS BINARY)";
std::u16string ConvertedName() {
  const std::u16string own = u"CHARSET(FileName) IN ('binary', 'utf8mb4', 'utf8mb3', 'utf8')";
  return u"IF(" + own + u", CAST(FileName AS BINARY), CAST(CONVERT(FileName USING utf8mb4) AS BINARY)), IF(" + own +
         u", NULL, CAST(CONVERT(REPLACE(FileName, '?', '!') USING utf8mb4) AS BINARY))";
}
// The column's character set, whatever the table holds; "binary" for bytes.
const char16_t* const kNameCharacterSet = u"SELECT CHARSET(MAX(FileName)) FROM FileTree WHERE 1 = 0";

bool HoldsUtf8OrBytes(std::u16string_view set) {
  return set == u"binary" || set == u"utf8mb4" || set == u"utf8mb3" || set == u"utf8";
}

// The server digests each row inside the listing's statement: MariaDB shares no snapshot
// with a second session. NOTE: MariaDB Connector/ODBC's wide text of a name whose bytes
// the connection's character set cannot decode (a VARBINARY name, CHARSET=latin1) is
// wrong or cut short; its binary reading of bytes is whole.
class CMariaRowReader final : public CRowReader {
 public:
  using CRowReader::CRowReader;

  void Prepare(std::u16string_view) override {
    _SQL_Error error;
    // Where it cannot be asked, the statement asks the column with every row.
    if (Database().QueryText(kNameCharacterSet, m_characterSet, error) == 0) m_characterSet.clear();
  }
  std::u16string Selection(std::u16string_view condition) const override {
    return u"SELECT FileID, NULL, " + WriteTimeColumn() + u", OperationType, NULL, " + DigestHex(RowBytes(KeyHex())) +
           u", " + (HoldsUtf8OrBytes(m_characterSet) ? std::u16string(kStoredName) : ConvertedName()) +
           u" FROM FileTree WHERE " + std::u16string(condition);
  }
  bool BindColumns() override {
    m_slots[2] = SQL_NULL_DATA;
    return Bind(kRowDigestColumn, m_rowDigest, SQL_C_CHAR, kDigestHexCapacity, m_slots[0]) &&
           Bind(kNameBytesColumn, m_nameBytes, SQL_C_BINARY, kNameBytesCapacity, m_slots[1]) &&
           (HoldsUtf8OrBytes(m_characterSet) ||
            Bind(kNameCheckColumn, m_nameCheck, SQL_C_BINARY, kNameBytesCapacity, m_slots[2]));
  }
  bool ReadRow(Name& name, Digest& digest) override;
  const uint8_t* ListedIdentification(int& length) override {
    return RecordOfWriteTime(Rows(), m_identification, length);
  }
  bool Finish(int64_t, Sums&) override;
  std::u16string Summary(std::u16string_view condition) const override {
    // SUM of BIGINT UNSIGNED is DECIMAL: exact, whatever the count.
    return u"SELECT COUNT(*), SUM(CAST(CONV(" + DigestHex(RowBytes(KeyHex())) +
           u", 16, 10) AS UNSIGNED)), SUM(FileID) FROM FileTree WHERE " + std::u16string(condition);
  }

 private:
  bool MarkUnconverted();

  static constexpr int kRowDigestColumn = 6, kNameBytesColumn = 7, kNameCheckColumn = 8, kDigestHexCapacity = 17;
  static constexpr int kNameBytesCapacity = 4 * kShownUnits;
  // U+FFFD in UTF-8, for a character the conversion could not carry.
  static constexpr char kUnconverted[] = "\xEF\xBF\xBD";
  char m_rowDigest[kDigestHexCapacity] = {};
  uint8_t m_nameBytes[kNameBytesCapacity] = {};
  uint8_t m_nameCheck[kNameBytesCapacity] = {};
  // The name with each such character marked: three bytes where the server gave one.
  uint8_t m_nameMarked[3 * kNameBytesCapacity] = {};
  int32_t m_markedLength = 0;
  int32_t m_slots[3] = {};
  std::u16string m_characterSet;
  uint8_t m_identification[kFileIdentificationSize] = {};
};

bool CMariaRowReader::ReadRow(Name& name, Digest& digest) {
  const CStoredRowSet& rows = Rows();
  // The key as the server's SUM(FileID) adds it (a NULL adds nothing).
  digest.key = rows.IsFileIDNull() ? 0 : static_cast<uint64_t>(static_cast<int64_t>(rows.GetFileID()));
  if (!ParseDigest(m_rowDigest, m_slots[0], digest.row)) {
    RecordError(u"HY000", u"The server did not give the digest of a row.");
    return false;
  }
  if (!MarkUnconverted()) {
    NameOfUtf8Bytes(m_nameBytes, kNameBytesCapacity, m_slots[1], name);
    return true;
  }
  // What was read of the name, marked; cut where the name was.
  const int32_t slot = m_slots[1];
  const bool valueCut = !(slot >= 0 && slot <= kNameBytesCapacity);
  NameOfUtf8Bytes(m_nameMarked, sizeof m_nameMarked, m_markedLength, name);
  name.cut = name.cut || valueCut;
  return true;
}

// Whether the converted name holds a '?' that the conversion put there; if so, the name
// with each of those as U+FFFD is in m_nameMarked, m_markedLength bytes long.
bool CMariaRowReader::MarkUnconverted() {
  const int32_t slot = m_slots[1], checkSlot = m_slots[2];
  if (checkSlot == SQL_NULL_DATA || slot < 0) return false;
  const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(slot), kNameBytesCapacity);
  const uint8_t* const begin = m_nameBytes;
  const uint8_t* const end = begin + length;
  if (std::find(begin, end, uint8_t{'?'}) == end) return false;
  // The two conversions differ only where the name holds a '?': character for character,
  // byte for byte. Were they ever to differ in length, every '?' is marked.
  const bool aligned = checkSlot == slot;
  std::size_t out = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (m_nameBytes[i] == '?' && (!aligned || m_nameCheck[i] == '?')) {
      std::memcpy(m_nameMarked + out, kUnconverted, 3);
      out += 3;
    } else {
      m_nameMarked[out++] = m_nameBytes[i];
    }
  }
  m_markedLength = static_cast<int32_t>(out);
  return true;
}

bool CMariaRowReader::Finish(int64_t, Sums&) {
  _SQL_Error error;
  // A failed read keeps its own error, which the caller reports.
  if (Rows().GetError(error)) return false;
  if (!HoldsUtf8OrBytes(m_characterSet)) return true;
  // An ALTER and the listing's statement wait for each other: one that came between the
  // question of the character set and the listing is seen now.
  std::u16string now;
  if (Database().QueryText(kNameCharacterSet, now, error) == 0) {
    RecordError(error.sqlState, error.message);
    return false;
  }
  if (now == m_characterSet) return true;
  RecordError(u"HY000", u"The character set of FileName changed while the rows were listed.");
  return false;
}

class CMariaRules final : public CServerRules {
 public:
  bool CommitRefused(const _SQL_Error& commitError) const override {
    // A deadlock: InnoDB rolled the transaction back.
    return CServerRules::CommitRefused(commitError) ||
           (commitError.returnCode == SQL_ERROR && commitError.nativeError == kDeadlock);
  }
  std::u16string LockWaitStatement(int seconds) const override {
    // Row locks are InnoDB's to bound, table locks (a LOCK TABLES, an ALTER) the server's;
    // 0 is a bound too (no wait at all).
    const std::u16string n = FromUtf8(std::to_string(seconds));
    return u"SET SESSION innodb_lock_wait_timeout = LEAST(@@SESSION.innodb_lock_wait_timeout, " + n +
           u"), SESSION lock_wait_timeout = LEAST(@@SESSION.lock_wait_timeout, " + n + u")";
  }
  LockFailure ClassifyLockFailure(const _SQL_Error& error) const override {
    if (error.nativeError == 1205) return LockFailure::WaitTimedOut;  // "Lock wait timeout exceeded"
    if (error.nativeError == kDeadlock) return LockFailure::Conflict;
    return CServerRules::ClassifyLockFailure(error);
  }
  WriteProbe ProbeStatement(std::u16string_view table) const override {
    return {u"DELETE FROM " + std::u16string(table) + u" WHERE 1 = 0", false};
  }
  Refusal ClassifyRefusal(const _SQL_Error& error) const override {
    // NOTE: a Galera node that is not part of the primary component, or still receives its
    // state, answers 1047 ("WSREP has not yet prepared node for application use") to any
    // statement on a table; 1290 is read_only=1 for a user without the privilege to
    // override it, 1792 a read-only transaction.
    if (error.nativeError == 1047) return Refusal::NotReady;
    if (error.nativeError == 1290 || error.nativeError == 1792) return Refusal::ReadOnly;
    return Refusal::None;
  }
  std::u16string CascadeQuery(std::u16string_view table) const override {
    const std::u16string t(table);
    return u"SELECT (SELECT COUNT(*) FROM information_schema.TRIGGERS WHERE EVENT_OBJECT_SCHEMA = DATABASE() AND "
           u"EVENT_OBJECT_TABLE = '" + t + u"') + (SELECT COUNT(*) FROM information_schema.REFERENTIAL_CONSTRAINTS "
           u"WHERE UNIQUE_CONSTRAINT_SCHEMA = DATABASE() AND REFERENCED_TABLE_NAME = '" + t +
           u"' AND DELETE_RULE NOT IN ('NO ACTION', 'RESTRICT'))";
  }
  std::unique_ptr<CRowReader> MakeRowReader(CStoredRowSet& rows) const override {
    return std::make_unique<CMariaRowReader>(rows);
  }
};

}  // namespace

const CServerRules& MariaRules() { return TheRules<CMariaRules>(); }
