// MariaDB (and MySQL, and Galera clusters of either), through MariaDB Connector/ODBC:
// everything the tool does its own way there.

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

// The server digests each row inside the listing's statement: MariaDB shares no snapshot
// with a second session. NOTE: MariaDB Connector/ODBC's wide text of a name whose bytes
// the connection's character set cannot decode (a VARBINARY name, CHARSET=latin1) is
// wrong or cut short; its binary reading of the stored bytes is whole.
class CMariaRowReader final : public CRowReader {
 public:
  using CRowReader::CRowReader;

  std::u16string Selection(std::u16string_view condition) const override {
    return u"SELECT FileID, NULL, " + WriteTimeColumn() + u", OperationType, NULL, " + DigestHex(RowBytes(KeyHex())) +
           u", CAST(FileName AS BINARY) FROM FileTree WHERE " + std::u16string(condition);
  }
  bool BindColumns() override {
    return Bind(kRowDigestColumn, m_rowDigest, SQL_C_CHAR, kDigestHexCapacity, m_slots[0]) &&
           Bind(kNameBytesColumn, m_nameBytes, SQL_C_BINARY, kNameBytesCapacity, m_slots[1]);
  }
  bool ReadRow(Name& name, Digest& digest) override;
  const uint8_t* ListedIdentification(int& length) override {
    return RecordOfWriteTime(Rows(), m_identification, length);
  }
  std::u16string Summary(std::u16string_view condition) const override {
    // SUM of BIGINT UNSIGNED is DECIMAL: exact, whatever the count.
    return u"SELECT COUNT(*), SUM(CAST(CONV(" + DigestHex(RowBytes(KeyHex())) +
           u", 16, 10) AS UNSIGNED)), SUM(FileID) FROM FileTree WHERE " + std::u16string(condition);
  }

 private:
  static constexpr int kRowDigestColumn = 6, kNameBytesColumn = 7, kDigestHexCapacity = 17;
  static constexpr int kNameBytesCapacity = 4 * kShownUnits;
  char m_rowDigest[kDigestHexCapacity] = {};
  uint8_t m_nameBytes[kNameBytesCapacity] = {};
  int32_t m_slots[2] = {};
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
  name = Name();
  const int32_t slot = m_slots[1];
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
