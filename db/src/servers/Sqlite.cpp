// SQLite, through the SQLite3 ODBC driver: everything the tool does its own way there.

#include <charconv>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "../RowReader.h"
#include "ConnectionString.h"
#include "SameFile.h"
#include "Servers.h"
#include "VisibleText.h"
#include "WideText.h"

namespace {

// The reader's own columns, the only ones its selection has.
constexpr int kNameColumn = 1, kIdentificationColumn = 2, kFileIdColumn = 3, kOperationTypeColumn = 4,
              kTypedColumn = 5;

// SQLite's result codes that the driver gives as the native error.
constexpr int32_t kBusy = 5, kLocked = 6, kConstraint = 19;

// A REAL as text that tells every double apart: SQLite's own decimal text of one has 15
// digits, and two values that differ past them would read alike.
std::u16string RealText(const std::u16string& column) { return u"printf('%!.20e', " + column + u")"; }

// A value's storage class, which SQLite lets vary from row to row, as its initial (NULL's
// is 'n'); a REAL with its exact text, since its hex() holds only 15 digits. The value's
// bytes come apart, as its hex(): the BLOB X'313233', the text '123' and the integer 123
// have the same hex() and are three values.
std::u16string TypedClass(std::u16string_view name) {
  const std::u16string c(name);
  return u"CASE typeof(" + c + u") WHEN 'real' THEN 'r' || " + RealText(c) + u" ELSE substr(typeof(" + c +
         u"), 1, 1) END";
}

// The same for a column that should hold an integer, with the integer as its decimal text
// at its full 64 bits: never the driver's conversion of it to a C integer, which keeps
// the low 32 bits and reads 18.5 and '18abc' as 18.
std::u16string TypedNumber(std::u16string_view name) {
  const std::u16string c(name);
  return u"CASE typeof(" + c + u") WHEN 'integer' THEN 'i' || " + c + u" WHEN 'real' THEN 'r' || " + RealText(c) +
         u" WHEN 'null' THEN 'n' ELSE substr(typeof(" + c + u"), 1, 1) || hex(" + c + u") END";
}

// A row's four storage classes (TypedNumber, TypedClass), in one text that holds no comma
// but between them; NULL for a row of the classes the schema gives (INTEGER keys and
// operation types, a TEXT name, a BLOB or NULL identification), which the other columns
// give exactly, so that the common row costs no text made for it. It also tells a NULL
// name from an empty one, which have the same hex().
std::u16string TypedRow() {
  return u"CASE WHEN typeof(FileID) = 'integer' AND typeof(OperationType) = 'integer' AND typeof(FileName) = 'text' "
         u"AND typeof(FileIdentification) IN ('blob', 'null') THEN NULL ELSE " +
         TypedNumber(u"FileID") + u" || ',' || " + TypedNumber(u"OperationType") + u" || ',' || " +
         TypedClass(u"FileName") + u" || ',' || " + TypedClass(u"FileIdentification") + u" END";
}

// What a row's key counts for in the key digest: its typed text alone, marked so that it
// never stands for the beginning of a row's.
uint64_t TypedKeyDigest(const CSipHash::Key& key, std::string_view typedKey) {
  CSipHash hash(key);
  hash.UpdateWord(2ULL << 32);
  hash.Update(typedKey.data(), typedKey.size());
  hash.UpdateWord(typedKey.size());
  return hash.Final();
}

// NOTE: the SQLite3 driver turns a name's bytes that are not UTF-8 into other characters
// (or drops them), ends every text at its first NUL, carries a BLOB as hexadecimal text
// that it decodes with a search per digit, the largest cost of its reading, and converts
// a number to a C integer of 32 bits. So the name and the identification are read as
// SQLite's own hex() of their bytes, text that nothing converts, the key and the
// operation type as integers of 64 bits, and the storage classes of a row whose classes
// are not the schema's besides (TypedRow); the digest takes them as they are. The driver
// copies every column of every row, so the selection has these five alone: none of the
// recordset's bound columns is read.
class CSqliteRowReader final : public CRowReader {
 public:
  using CRowReader::CRowReader;

  void Prepare(std::u16string_view) override {
    // An answer this plain statement cannot give leaves the encoding SQLite's default;
    // the selection then fails for the same reason, if it is one.
    if (!ReadEncoding()) m_encoding = Encoding::Utf8;
  }
  // NOTE: SQLite's data_version changes, for this connection, with every commit by any
  // other connection to the database file, and with nothing else: not with this
  // connection's own writes, nor with another's that was rolled back. It is constant-time,
  // whatever the table's size.
  std::u16string CommittedState() override {
    std::u16string version;
    _SQL_Error error;
    return Database().QueryText(u"PRAGMA data_version", version, error) == 0 ? std::u16string() : version;
  }
  std::u16string Selection(std::u16string_view condition) const override {
    return u"SELECT hex(FileName), CASE WHEN FileIdentification IS NOT NULL THEN hex(FileIdentification) END, FileID, "
           u"OperationType, " +
           TypedRow() + u" FROM FileTree WHERE " + std::u16string(condition);
  }
  bool ReadsRecordColumns() const override { return false; }
  bool BindColumns() override {
    return Bind(kNameColumn, m_nameHex, SQL_C_CHAR, kNameHexCapacity, m_slots[0]) &&
           Bind(kIdentificationColumn, m_identificationHex, SQL_C_CHAR, kIdentificationHexCapacity, m_slots[1]) &&
           Bind(kFileIdColumn, &m_fileId, SQL_C_SBIGINT, sizeof m_fileId, m_slots[2]) &&
           Bind(kOperationTypeColumn, &m_operationType, SQL_C_SBIGINT, sizeof m_operationType, m_slots[3]) &&
           Bind(kTypedColumn, m_typed, SQL_C_CHAR, kTypedCapacity, m_slots[4]);
  }
  bool ReadRow(Name& name, Digest& digest) override;
  const uint8_t* ListedIdentification(int& length) override;

 private:
  static constexpr int kNameHexCapacity = 1 + 2 * 4 * kShownUnits;  // the bytes, NUL
  static constexpr int kIdentificationHexCapacity = 1 + 2 * CRegTreeRecSet::kFileIdentificationBytes;
  // The typed text of a row of other classes than the schema's; a longer one is read
  // whole into m_typedRow.
  static constexpr int kTypedCapacity = 256;

  bool ReadEncoding();
  bool HashHexValue(int column, const char* buffer, int32_t slot, int capacity, CSipHash& hash);
  bool ReadTyped(std::string_view& typed);
  bool DecodeName(Name& name);

  // NOTE: SQLite keeps a database's text in the encoding it was created with; hex()
  // gives those bytes. A database made by sqlite3_open16 holds UTF-16.
  enum class Encoding { Utf8, Utf16le, Utf16be } m_encoding = Encoding::Utf8;
  char m_nameHex[kNameHexCapacity] = {};
  char m_identificationHex[kIdentificationHexCapacity] = {};
  int64_t m_fileId = 0, m_operationType = 0;
  char m_typed[kTypedCapacity] = {};
  int32_t m_slots[5] = {};
  // The current row's name's class, as TypedClass begins it.
  char m_nameClass = 't';
  // What the current row decodes to, kept between rows so that no row allocates.
  std::string m_decodedName;
  std::u16string m_decodedText;
  std::string m_typedRow;
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

// The row's typed text (TypedRow), empty for a row of the schema's classes.
bool CSqliteRowReader::ReadTyped(std::string_view& typed) {
  const int32_t slot = m_slots[4];
  typed = {};
  if (slot == SQL_NULL_DATA) return true;
  if (slot >= 0 && slot < kTypedCapacity) {
    typed = std::string_view(m_typed, static_cast<std::size_t>(slot));
  } else {
    m_typedRow.clear();
    int64_t total = 0;
    if (!SqlSucceeded(Rows().ReadWholeValue(kTypedColumn, SQL_C_CHAR, AppendPiece, &m_typedRow, total))) return false;
    typed = m_typedRow;
  }
  if (!typed.empty()) return true;
  RecordError(u"HY000", u"The database did not give a row's values with their types.");
  return false;
}

bool CSqliteRowReader::ReadRow(Name& name, Digest& digest) {
  std::string_view typed;
  if (!ReadTyped(typed)) return false;
  CSipHash row(SipKey());
  // The key's typed text: the first of the row's, or the integer's own (the same text).
  char key[24] = {'i'};
  std::string_view keyText = typed.substr(0, typed.find(','));
  m_nameClass = 't';
  if (typed.empty()) {
    // A word that begins no typed text (those are ASCII), then the two integers.
    row.UpdateWord(~1ULL);
    row.UpdateWord(static_cast<uint64_t>(m_fileId));
    row.UpdateWord(static_cast<uint64_t>(m_operationType));
    keyText = std::string_view(key, static_cast<std::size_t>(std::to_chars(key + 1, std::end(key), m_fileId).ptr - key));
  } else {
    row.Update(typed.data(), typed.size());
    row.UpdateWord(typed.size());
    // The name's class stands after the second comma (nothing before it holds one).
    const std::size_t second = typed.find(',', typed.find(',') + 1);
    if (second == std::string_view::npos || second + 1 >= typed.size()) {
      RecordError(u"HY000", u"The database did not give a row's values with their types.");
      return false;
    }
    m_nameClass = typed[second + 1];
  }
  if (!HashHexValue(kNameColumn, m_nameHex, m_slots[0], kNameHexCapacity, row) ||
      !HashHexValue(kIdentificationColumn, m_identificationHex, m_slots[1], kIdentificationHexCapacity, row)) {
    return false;
  }
  digest = {row.Final(), TypedKeyDigest(SipKey(), keyText)};
  return DecodeName(name);
}

bool CSqliteRowReader::DecodeName(Name& name) {
  const int32_t slot = m_slots[0];
  name = Name();
  if (m_nameClass == 'n') {
    name.null = true;
    return true;
  }
  // The bytes the buffer holds (the whole value, or its beginning).
  const bool valueCut = !(slot >= 0 && slot < kNameHexCapacity) && slot != SQL_NULL_DATA;
  const std::size_t held = valueCut ? kNameHexCapacity - 1 : slot == SQL_NULL_DATA ? 0 : static_cast<std::size_t>(slot);
  const std::size_t hexDigits = held & ~std::size_t{1};
  m_decodedName.resize(hexDigits / 2);
  if (!DecodeHex(std::string_view(m_nameHex, hexDigits), reinterpret_cast<uint8_t*>(m_decodedName.data()))) {
    RecordError(u"HY000", u"The database did not give a name's stored bytes in hexadecimal.");
    return false;
  }
  bool more = false;
  // A BLOB's bytes are shown as they are, whatever the database's encoding of text.
  if (m_encoding == Encoding::Utf8 || m_nameClass == 'b') {
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
  length = slot >= 0 && slot < kIdentificationHexCapacity ? slot / 2 : CRegTreeRecSet::kFileIdentificationBytes + 1;
  if (static_cast<std::size_t>(length) != kFileIdentificationSize) return m_identification;
  // The list shows the last-write time alone: only its 8 bytes are decoded (the digest
  // took the whole value).
  return DecodeHex(std::string_view(m_identificationHex + 2 * kLastWriteTimeOffset, 16),
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
// holding it for showing (MessageTextOfBytes: each byte that is not shows as itself).
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
    path = MessageTextOfBytes(bytes);
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

// The schema version as SQLite stores it: its storage class, whether it equals the
// accepted version, a REAL's shortest text that reads back as it, the first bytes of
// anything else (a text's past a NUL too), and whether it goes on past them.
std::u16string StoredVersionQuery() {
  return u"SELECT typeof(Version), Version = " + FromUtf8(std::to_string(kAcceptedSchemaVersion)) +
         u", CASE WHEN typeof(Version) <> 'real' THEN NULL "
         u"WHEN CAST(printf('%.15g', Version) AS REAL) = Version THEN printf('%.15g', Version) "
         u"WHEN CAST(printf('%!.16g', Version) AS REAL) = Version THEN printf('%!.16g', Version) "
         u"ELSE printf('%!.17g', Version) END, hex(substr(CAST(Version AS BLOB), 1, 40)), "
         u"length(CAST(Version AS BLOB)) > 40, encoding "
         u"FROM SchemaVersion, pragma_encoding LIMIT 2";
}

struct StoredVersion {
  std::string storageClass, equalsAccepted, realText, hex, cut, encoding;
};

// The one row of StoredVersionQuery; false where there is not exactly one, or it cannot
// be read.
bool ReadStoredVersion(CODBCDatabase& database, StoredVersion& version) {
  CODBCRecordset query(&database, CODBCTypedRecordset::kReadOnlyCursor, CODBCTypedRecordset::kNoOptions, 0);
  if (query.Open(StoredVersionQuery().c_str()) < 0 || query.IsEof()) return false;
  std::string* const columns[] = {&version.storageClass, &version.equalsAccepted, &version.realText,
                                  &version.hex, &version.cut, &version.encoding};
  int column = 1;
  for (std::string* text : columns) {
    int64_t total = 0;
    if (!SqlSucceeded(query.ReadWholeValue(column++, SQL_C_CHAR, AppendPiece, text, total))) return false;
  }
  return query.MoveNext() >= 0 && query.IsEof();
}

// Why a stored version is not the accepted one, shown as it is stored; empty where
// TestDBVersion's reading of it through the driver is exact and its word stands.
std::u16string StoredVersionRefusal(const StoredVersion& version) {
  const std::u16string accepted = FromUtf8(std::to_string(kAcceptedSchemaVersion));
  const bool cut = version.cut == "1";
  std::string bytes(version.hex.size() / 2, '\0');
  if (!DecodeHex(version.hex, reinterpret_cast<uint8_t*>(bytes.data()))) return {};
  if (version.storageClass == "real") {
    return version.equalsAccepted == "1" ? std::u16string() : VersionFoundMessage(FromUtf8(version.realText), false);
  }
  if (version.storageClass == "blob") {
    return u"Schema version X'" + FromUtf8(version.hex) + (cut ? u"...'" : u"'") + u" found, version " + accepted + u" expected.";
  }
  if (version.storageClass != "text") return {};
  std::u16string text;
  if (version.encoding.substr(0, 6) == "UTF-16") {
    Utf16FromBytes(bytes, version.encoding == "UTF-16le", text);
    for (char16_t& c : text) c = c == 0 ? char16_t{0xDC00} : c;
  } else {
    text = MessageTextOfBytes(bytes);
  }
  // Text of ASCII characters alone reaches TestDBVersion whole; nothing else is a number.
  bool ascii = true;
  for (const char16_t c : text) ascii = ascii && c > 0 && c < 0x80;
  return ascii ? std::u16string() : VersionFoundMessage(text, cut);
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

  // NOTE: the SQLite3 driver's text of a value ends at a NUL, drops bytes that are not
  // UTF-8 and gives a REAL to 15 digits, and SQLite keeps whatever value of any type it
  // is given: '4', a NUL and 'old' would read as 4. The value is read with its storage
  // class first; an INTEGER, a REAL equal to 4 and a text of ASCII alone are left to
  // TestDBVersion, which reads them exactly.
  bool StoredVersionPasses(CServerConnection& database) const override {
    StoredVersion version;
    if (!ReadStoredVersion(database, version)) return true;  // TestDBVersion says why
    const std::u16string refusal = StoredVersionRefusal(version);
    if (refusal.empty()) return true;
    _SQL_Error error;
    SetLibraryError(error, u"HY000", refusal.c_str());
    database.SetError(error);
    return false;
  }

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
