// SQLite, through the SQLite3 ODBC driver: everything the tool does its own way there.

#include <optional>
#include <string>
#include <string_view>

#include "../RowReader.h"
#include "ConnectionString.h"
#include "SameFile.h"
#include "Servers.h"
#include "WideText.h"

namespace {

constexpr int kNameHexColumn = 6, kIdentificationHexColumn = 7;

// SQLite's result codes that the driver gives as the native error.
constexpr int32_t kBusy = 5, kLocked = 6, kConstraint = 19;

// NOTE: the SQLite3 driver turns a name's bytes that are not UTF-8 into other characters
// (or drops them), ends every text at its first NUL, and carries a BLOB as hexadecimal
// text that it decodes with a search per digit, the largest cost of its reading. SQLite's
// own hex() of each value is read instead, as text that nothing converts: the whole
// stored value, in a form the digest takes as it is. The bound name and identification
// are not read, and FileData's place is held by a NULL. (hex() of a NULL is empty, hence
// the CASE: a NULL stays NULL.)
class CSqliteRowReader final : public CRowReader {
 public:
  using CRowReader::CRowReader;

  void Prepare(std::u16string_view) override {
    // An answer this plain statement cannot give leaves the encoding SQLite's default;
    // the selection then fails for the same reason, if it is one.
    if (!ReadEncoding()) m_encoding = Encoding::Utf8;
  }
  std::u16string Selection(std::u16string_view condition) const override {
    return u"SELECT FileID, NULL, NULL, OperationType, NULL, CASE WHEN FileName IS NOT NULL THEN 'x' || "
           u"hex(FileName) END, CASE WHEN FileIdentification IS NOT NULL THEN 'x' || hex(FileIdentification) END "
           u"FROM FileTree WHERE " +
           std::u16string(condition);
  }
  bool BindColumns() override {
    return Bind(kNameHexColumn, m_nameHex, SQL_C_CHAR, kNameHexCapacity, m_slots[0]) &&
           Bind(kIdentificationHexColumn, m_identificationHex, SQL_C_CHAR, kIdentificationHexCapacity, m_slots[1]);
  }
  bool ReadRow(Name& name, Digest& digest) override;
  const uint8_t* ListedIdentification(int& length) override;

 private:
  static constexpr int kNameHexCapacity = 2 + 2 * 4 * kShownUnits;  // 'x', the bytes, NUL
  static constexpr int kIdentificationHexCapacity = 2 + 2 * CRegTreeRecSet::kFileIdentificationBytes;

  bool ReadEncoding();
  bool HashHexValue(int column, const char* buffer, int32_t slot, int capacity, CSipHash& hash);
  bool DecodeName(Name& name);

  // NOTE: SQLite keeps a database's text in the encoding it was created with; hex()
  // gives those bytes. A database made by sqlite3_open16 holds UTF-16.
  enum class Encoding { Utf8, Utf16le, Utf16be } m_encoding = Encoding::Utf8;
  char m_nameHex[kNameHexCapacity] = {};
  char m_identificationHex[kIdentificationHexCapacity] = {};
  int32_t m_slots[2] = {};
  // What the current row decodes to, kept between rows so that no row allocates.
  std::string m_decodedName;
  std::u16string m_decodedText;
  uint8_t m_identification[kFileIdentificationSize] = {};
};

bool CSqliteRowReader::ReadEncoding() {
  m_encoding = Encoding::Utf8;
  CODBCRecordset pragma(&Database(), CODBCTypedRecordset::kReadOnlyCursor, CODBCTypedRecordset::kNoOptions, 0);
  if (pragma.Open(u"PRAGMA encoding") < 0 || pragma.IsEof()) return false;
  std::string text;
  int64_t total = 0;
  if (!SqlSucceeded(pragma.ReadWholeValue(1, SQL_C_CHAR, AppendPiece, &text, total))) return false;
  if (text == "UTF-16le") m_encoding = Encoding::Utf16le;
  if (text == "UTF-16be") m_encoding = Encoding::Utf16be;
  return true;
}

bool CSqliteRowReader::HashHexValue(int column, const char* buffer, int32_t slot, int capacity, CSipHash& hash) {
  if (slot == SQL_NULL_DATA) {
    hash.UpdateWord(kNullWord);
    return true;
  }
  if (slot >= 0 && slot < capacity) {
    hash.Update(buffer, static_cast<std::size_t>(slot));
    hash.UpdateWord(static_cast<uint64_t>(slot));
    return true;
  }
  // Longer than the buffer: read whole again. Only such rows pay for it.
  int64_t total = 0;
  if (!SqlSucceeded(Rows().ReadWholeValue(column, SQL_C_CHAR, HashPiece, &hash, total))) return false;
  hash.UpdateWord(total == SQL_NULL_DATA ? kNullWord : static_cast<uint64_t>(total));
  return true;
}

bool CSqliteRowReader::ReadRow(Name& name, Digest& digest) {
  const CStoredRowSet& rows = Rows();
  CSipHash row(SipKey());
  row.UpdateWord(rows.IsFileIDNull() ? kNullWord : static_cast<uint32_t>(rows.GetFileID()));
  row.UpdateWord(rows.IsNull(CRegTreeRecSet::kOperationTypeColumn) ? kNullWord
                                                                   : static_cast<uint32_t>(rows.GetOperationType()));
  if (!HashHexValue(kNameHexColumn, m_nameHex, m_slots[0], kNameHexCapacity, row) ||
      !HashHexValue(kIdentificationHexColumn, m_identificationHex, m_slots[1], kIdentificationHexCapacity, row)) {
    return false;
  }
  digest = {row.Final(), KeyDigest(SipKey(), rows.IsFileIDNull(), rows.GetFileID())};
  return DecodeName(name);
}

bool CSqliteRowReader::DecodeName(Name& name) {
  const int32_t slot = m_slots[0];
  name = Name();
  if (slot == SQL_NULL_DATA) {
    name.null = true;
    return true;
  }
  // The bytes the buffer holds after the 'x' (the whole value, or its beginning).
  const bool valueCut = !(slot >= 0 && slot < kNameHexCapacity);
  const std::size_t held = valueCut ? kNameHexCapacity - 1 : static_cast<std::size_t>(slot);
  const std::size_t hexDigits = (held > 0 ? held - 1 : 0) & ~std::size_t{1};
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

const uint8_t* CSqliteRowReader::ListedIdentification(int& length) {
  const int32_t slot = m_slots[1];
  length = 0;
  if (slot == SQL_NULL_DATA) return nullptr;
  // Only a record of the 112 bytes shows a time; other lengths are told as they are.
  length = slot >= 1 && slot < kIdentificationHexCapacity ? (slot - 1) / 2
                                                          : CRegTreeRecSet::kFileIdentificationBytes + 1;
  if (static_cast<std::size_t>(length) != kFileIdentificationSize) return m_identification;
  // The list shows the last-write time alone: only its 8 bytes are decoded (the digest
  // took the whole value).
  return DecodeHex(std::string_view(m_identificationHex + 1 + 2 * kLastWriteTimeOffset, 16),
                   m_identification + kLastWriteTimeOffset)
             ? m_identification
             : nullptr;
}

// NOTE: what the SQLite3 driver takes for its busy timeout: the text of its first
// Timeout= read as strtol reads a number in C's own notation (blanks before it, a sign,
// 0x for hexadecimal, a leading 0 for octal), used only when the whole text is that
// number and it is above 0. Anything else ("", "0", "1000 ", "abc") is its own default
// (docs/PERFORMANCE.md), which it was seen to wait twice.
bool IsSqliteTimeout(std::u16string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  int base = 10;
  if (i + 2 < text.size() && text[i] == u'0' && FoldAscii(text[i + 1]) == u'x' && HexDigitValue(text[i + 2]) >= 0) {
    base = 16;
    i += 2;
  } else if (i < text.size() && text[i] == u'0') {
    base = 8;
  }
  const std::size_t digits = i;
  bool nonZero = false;
  for (; i < text.size(); ++i) {
    const int digit = HexDigitValue(text[i]);
    if (digit < 0 || digit >= base) break;
    nonZero = nonZero || digit != 0;
  }
  return i > digits && i == text.size() && nonZero && !negative;
}

// Whether the SQLite3 driver took a busy timeout of its own: from the string, or from its
// data source's entry in odbc.ini when the string sets none. completed is the connection
// string the driver gave back, which says what it took.
bool SqliteWaitIsBounded(std::u16string_view given, std::u16string_view completed) {
  const std::optional<ConnectionAttribute> taken = FindConnectionAttribute(completed, kSqliteOdbcReading, u"timeout");
  if (!taken || !IsSqliteTimeout(taken->value)) return false;
  // NOTE: from a data source without Timeout the driver reports its default, 100000: that
  // bounds nothing an operator chose.
  const std::optional<ConnectionAttribute> own = FindConnectionAttribute(given, kSqliteOdbcReading, u"timeout");
  return (own && !own->value.empty()) || taken->value != u"100000";
}

// The database that the string names to the SQLite3 driver: its Database=, or its data
// source's as the driver reported it.
std::u16string NamedSqliteDatabase(std::u16string_view given, std::u16string_view completed) {
  std::optional<ConnectionAttribute> named = FindConnectionAttribute(given, kSqliteOdbcReading, u"database");
  if (!named || named->value.empty()) named = FindConnectionAttribute(completed, kSqliteOdbcReading, u"database");
  return named ? named->value : std::u16string();
}

bool IsAscii(std::u16string_view text) {
  for (const char16_t c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

void KeepError(CODBCDatabase& database, const std::u16string& text) {
  _SQL_Error error;
  SetLibraryError(error, u"08004", text.c_str());
  database.SetError(error);
}

// The file that SQLite opened as the connection's main database, as SQLite names it (its
// full path); false, with the error kept, when SQLite cannot say. The name is read as its
// bytes, in hexadecimal (ASCII that no conversion between the driver and the tool can
// change); hex() gives a text's bytes in the database's own encoding, which a database
// made by sqlite3_open16 has as UTF-16. A name that is not UTF-8 is false too, with path
// holding it for showing (U+FFFD for each byte that is not).
bool OpenedFile(CODBCDatabase& database, std::u16string& path) {
  path.clear();
  CODBCRecordset query(&database, CODBCTypedRecordset::kReadOnlyCursor, CODBCTypedRecordset::kNoOptions, 0);
  std::string hex, encoding;
  int64_t hexLength = 0, encodingLength = 0;
  _SQL_Error error;
  if (query.Open(u"SELECT hex(file), encoding FROM pragma_database_list, pragma_encoding WHERE name = 'main'") < 0 ||
      query.IsEof() || !SqlSucceeded(query.ReadWholeValue(1, SQL_C_CHAR, AppendPiece, &hex, hexLength)) ||
      !SqlSucceeded(query.ReadWholeValue(2, SQL_C_CHAR, AppendPiece, &encoding, encodingLength))) {
    if (query.GetError(error)) {
      database.SetError(error);
    } else {
      KeepError(database, u"SQLite did not say which file it opened.");
    }
    return false;
  }
  std::string bytes(hex.size() / 2, '\0');
  if (hexLength == SQL_NULL_DATA ||
      !DecodeHex(hex, reinterpret_cast<uint8_t*>(bytes.data()))) {
    KeepError(database, u"SQLite did not say which file it opened.");
    return false;
  }
  // A UTF-16 database's text: whole units, in the byte order its encoding names.
  if (std::string_view(encoding).substr(0, 6) == "UTF-16") {
    Utf16FromBytes(bytes, encoding == "UTF-16le", path);
    return true;
  }
  // NOTE: SQLite keeps file names as UTF-8 on every system; a name that is not (the low
  // bytes a driver manager kept of one) is given for showing only.
  if (!DecodeUtf8Strict(bytes, path)) {
    path = FromUtf8(bytes);
    KeepError(database, u"SQLite opened a file whose name is not UTF-8.");
    return false;
  }
  return true;
}

// SQLite opens whatever file its driver was handed, and creates it when it is missing: a
// driver manager that converts the string lossily would have it open, fill or create
// another database than the one named. Confirmed by the file SQLite says it opened.
bool OpenedTheNamedDatabase(CODBCDatabase& database, std::u16string_view given, std::u16string_view completed) {
  const std::u16string named = NamedSqliteDatabase(given, completed);
  std::u16string opened;
  const bool exact = OpenedFile(database, opened);
  if (exact && !named.empty() && IsSameFile(named.c_str(), opened.c_str())) return true;
  if (!exact && opened.empty()) return false;
  KeepError(database, u"SQLite opened the file " + opened + u", not the database named, " + named +
                          u": the name did not reach the driver whole. Nothing was read or changed.");
  return false;
}

// NOTE: SQLite without a rollback journal (journal_mode OFF, which the SQLite3 driver's
// JournalMode=off sets too) writes a DELETE's pages in place: a ROLLBACK cannot undo
// them, and a failure after them leaves the file corrupt. A journal held in memory is
// lost with the process, and a fault mid-DELETE then corrupts the file just the same.
// Both are refused before anything is written. Empty for a journal that undoes.
std::u16string JournalRefusal(std::u16string_view mode) {
  std::u16string lower;
  for (const char16_t c : mode) lower.push_back(FoldAscii(c));
  if (lower != u"off" && lower != u"memory") return {};
  return u"The database keeps no rollback journal (SQLite journal_mode " + lower +
         u"): a deletion that failed halfway could not be undone, so none is made.";
}

class CSqliteRules final : public CServerRules {
 public:
  // NOTE: the SQLite3 driver steps through a result (StepAPI=1) only while it has no
  // transaction of its own: with autocommit off it sends "BEGIN TRANSACTION" as the next
  // statement is prepared, and from then on reads every SELECT whole into memory before
  // handing over the first row. So on SQLite the transaction is begun and ended in SQL,
  // with the driver left in autocommit: SQLite holds it just the same (a deferred
  // transaction, its shared lock from the first read on), and the rows stream.
  bool TransactionsInSql() const override { return true; }
  bool CommitRefused(const _SQL_Error& commitError) const override {
    // SQLITE_BUSY, SQLITE_LOCKED, SQLITE_CONSTRAINT (a deferred foreign key): SQLite
    // refuses the COMMIT and keeps the transaction open, to be rolled back.
    const int32_t native = commitError.nativeError;
    return CServerRules::CommitRefused(commitError) ||
           (commitError.returnCode == SQL_ERROR && (native == kBusy || native == kLocked || native == kConstraint));
  }
  bool RollbackFoundNothing(const _SQL_Error& rollbackError) const override {
    // NOTE: SQLite ends the transaction itself on some failures (a full disk, an I/O
    // error, no memory), and then refuses the ROLLBACK that its driver sends with "cannot
    // rollback - no transaction is active": nothing is open any more.
    return std::u16string_view(rollbackError.message).find(u"no transaction is active") != std::u16string_view::npos;
  }

  bool SettleConnection(CServerConnection& database, std::u16string_view given, std::u16string_view completed,
                        int lockWaitSeconds) const override;

  LockFailure ClassifyLockFailure(const _SQL_Error& error) const override {
    // SQLITE_BUSY, SQLITE_LOCKED: the busy handler gave up.
    if (error.nativeError == kBusy || error.nativeError == kLocked) return LockFailure::WaitTimedOut;
    return CServerRules::ClassifyLockFailure(error);
  }

  // A transaction that has read cannot get SQLite's write lock while another one holds
  // it, nor can that other one commit while this one still reads, so both would wait out
  // their busy timeouts: the write lock is taken at once, by a write that changes
  // nothing (readers go on meanwhile).
  int BeginDeletion(CServerConnection& database, _SQL_Error& error) const override {
    if (CServerRules::BeginDeletion(database, error) == 0) return 0;
    std::u16string mode;
    if (database.QueryText(u"PRAGMA journal_mode", mode, error) == 0) return database.AbandonBegunTransaction(error);
    const std::u16string refusal = JournalRefusal(mode);
    if (!refusal.empty()) {
      (void)database.Fail(u"HY000", refusal.c_str(), error);
      return database.AbandonBegunTransaction(error);
    }
    if (database.Execute(u"DELETE FROM FileTree WHERE 1 = 0", error) == 0) {
      return database.AbandonBegunTransaction(error);
    }
    return 1;
  }

  // Any trigger on the table counts, not only delete triggers: a key that sets NULL or a
  // default on a delete updates rows, and an update trigger may delete. Any key that acts
  // on a delete from the table counts too, wherever it is: the rows it takes may have
  // triggers of their own.
  std::u16string CascadeQuery(std::u16string_view table) const override {
    const std::u16string t(table);
    return u"SELECT (SELECT COUNT(*) FROM sqlite_master WHERE type = 'trigger' AND tbl_name = '" + t +
           u"' COLLATE NOCASE) + (SELECT COUNT(*) FROM sqlite_master AS m, pragma_foreign_key_list(m.name) AS f "
           u"WHERE m.type = 'table' AND f.\"table\" = '" + t +
           u"' COLLATE NOCASE AND f.on_delete NOT IN ('NO ACTION', 'RESTRICT'))";
  }

  std::unique_ptr<CRowReader> MakeRowReader(CStoredRowSet& rows) const override {
    return std::make_unique<CSqliteRowReader>(rows);
  }
};

// The SQLite3 driver, connected with a bound on its wait for another writer, to the
// database named and no other. False with the connection closed and the reason kept.
bool CSqliteRules::SettleConnection(CServerConnection& database, std::u16string_view given,
                                    std::u16string_view completed, int lockWaitSeconds) const {
  // NOTE: the SQLite3 driver waits for another writer's lock in a busy handler of its
  // own, bounded only by the Timeout= it read when connecting; nothing changes it once
  // connected (PRAGMA busy_timeout, SQL_ATTR_QUERY_TIMEOUT, the connection timeouts were
  // seen to leave it). Without one of the operator's (in the string or the data source)
  // it is connected again with the run's bound, given first, since the driver takes a
  // key's first value; the driver waits it twice. The tool never wants a database made
  // for it: NoCreat=1 too.
  char16_t again[1024] = {};
  std::u16string_view taken = completed;
  if (!SqliteWaitIsBounded(given, completed)) {
    const std::u16string bounded =
        u"Timeout=" + FromUtf8(std::to_string(lockWaitSeconds * 500)) + u";NoCreat=1;" + std::u16string(given);
    if (database.Connect(bounded.c_str(), again) == 0) return false;
    taken = again;
  }
  if (OpenedTheNamedDatabase(database, given, taken)) return true;
  _SQL_Error error;
  (void)database.GetError(error);
  database.Close();
  database.SetError(error);
  return false;
}

}  // namespace

const CServerRules& SqliteRules() { return TheRules<CSqliteRules>(); }

// A connection that the SQLite3 driver refused (its messages come tagged "[SQLite]"),
// where its own message, "connect failed", would not say why: the database named was not
// found (and the driver was kept from creating it), or it exists and a name that is not
// ASCII most likely reached the driver as another.
void ExplainSqliteRefusal(CODBCDatabase& database, std::u16string_view given) {
  const std::optional<ConnectionAttribute> named = FindConnectionAttribute(given, kSqliteOdbcReading, u"database");
  _SQL_Error error;
  if (!named || named->value.empty() || !database.GetError(error)) return;
  if (std::u16string_view(error.message).rfind(u"[SQLite]", 0) != 0) return;
  std::u16string why = std::u16string(error.message) + u" The database named, " + named->value;
  if (!IsSameFile(named->value.c_str(), named->value.c_str())) {
    why += u", was not found. Nothing was created.";
  } else if (!IsAscii(given)) {
    why += u", exists: a name that is not ASCII may not reach the driver whole. Nothing was created or changed.";
  } else {
    return;
  }
  KeepError(database, why);
}
