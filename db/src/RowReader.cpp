#include "RowReader.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "Utf8Sequence.h"
#include "WideText.h"

namespace {

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

std::u16string Number(std::size_t n) { return FromUtf8(std::to_string(n)); }

}  // namespace

std::u16string CRowReader::KeyHex() const {
  std::u16string key;
  AppendHex(key, m_rows.m_key, sizeof m_rows.m_key);
  return key;
}

std::u16string CRowReader::KeyWord(int half) const {
  uint64_t word = 0;
  for (int i = 7; i >= 0; --i) word = word << 8 | m_rows.m_key[8 * half + i];
  return FromUtf8(std::to_string(static_cast<int64_t>(word)));
}

bool CRowReader::Bind(int column, void* buffer, SQLSMALLINT type, int capacity, int32_t& slot) {
  slot = capacity;
  const int r = m_rows.BindField(column, buffer, type, &slot);
  return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO;
}

void AppendPiece(void* text, const uint8_t* bytes, std::size_t length) {
  static_cast<std::string*>(text)->append(reinterpret_cast<const char*>(bytes), length);
}

void HashPiece(void* hash, const uint8_t* bytes, std::size_t length) {
  static_cast<CSipHash*>(hash)->Update(bytes, length);
}

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

void AppendHex(std::u16string& out, const uint8_t* bytes, std::size_t length) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  for (std::size_t i = 0; i < length; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0xF];
  }
}

bool ParseDigest(const char* text, int32_t slot, uint64_t& value) {
  uint8_t bytes[8];
  if (slot != 16 || !DecodeHex(std::string_view(text, 16), bytes)) return false;
  value = 0;
  for (uint8_t b : bytes) value = value << 8 | b;
  return true;
}

std::size_t ShownUtf8Bytes(std::string_view bytes, bool& more) {
  std::size_t units = 0, i = 0;
  // Runs of ASCII, a unit a byte, eight bytes at a time: most names are ASCII alone.
  for (uint64_t word; units + sizeof word <= kShownUnits && bytes.size() - i >= sizeof word &&
                      (std::memcpy(&word, bytes.data() + i, sizeof word), (word & 0x8080808080808080ULL) == 0);) {
    units += sizeof word;
    i += sizeof word;
  }
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

void NameOfUtf8Bytes(const uint8_t* buffer, int capacity, int32_t slot, CStoredRowSet::Name& name) {
  name = CStoredRowSet::Name();
  if (slot == SQL_NULL_DATA) {
    name.null = true;
    return;
  }
  // A longer value, or one whose length the driver could not tell (SQL_NO_TOTAL), fills
  // the buffer.
  const bool valueCut = !(slot >= 0 && slot <= capacity);
  const std::string_view held(reinterpret_cast<const char*>(buffer),
                              valueCut ? static_cast<std::size_t>(capacity) : static_cast<std::size_t>(slot));
  bool more = false;
  name.utf8 = true;
  name.bytes = held.substr(0, ShownUtf8Bytes(held, more));
  name.cut = more || valueCut;
}

std::u16string WriteTimeColumn() {
  return u"CASE WHEN length(FileIdentification) = " + Number(kFileIdentificationSize) +
         u" THEN substr(FileIdentification, " + Number(kLastWriteTimeOffset + 1) + u", 8) END";
}

const uint8_t* RecordOfWriteTime(const CStoredRowSet& rows, uint8_t* record, int& length) {
  const uint8_t* time = rows.GetFileIdentification();
  length = 0;
  if (time == nullptr || rows.GetFileIdentificationLength() != 8) return nullptr;
  std::memcpy(record + kLastWriteTimeOffset, time, 8);
  length = static_cast<int>(kFileIdentificationSize);
  return record;
}

bool QuerySums(CODBCDatabase& database, const std::u16string& statement, CStoredRowSet::Sums& sums,
               _SQL_Error& error) {
  CODBCRecordset summary(&database, CODBCTypedRecordset::kReadOnlyCursor, CODBCTypedRecordset::kNoOptions, 0);
  if (summary.Open(statement.c_str()) < 0 || summary.IsEof()) {
    if (!summary.GetError(error)) SetLibraryError(error, u"HY000", u"The server gave no sums of the rows.");
    return false;
  }
  uint64_t values[3] = {};
  for (int column = 1; column <= 3; ++column) {
    std::string text;
    int64_t total = 0;
    if (!SqlSucceeded(summary.ReadWholeValue(column, SQL_C_CHAR, AppendPiece, &text, total))) {
      (void)summary.GetError(error);
      return false;
    }
    // The sums of no rows are NULL.
    if (total != SQL_NULL_DATA && !DecimalModulo64(text, values[column - 1])) {
      SetLibraryError(error, u"HY000", u"The server's sums of the rows are not numbers.");
      return false;
    }
  }
  sums.count = static_cast<int64_t>(values[0]);
  sums.rows = values[1];
  sums.keys = values[2];
  return true;
}

uint64_t KeyDigest(const CSipHash::Key& key, bool null, int32_t id) {
  CSipHash hash(key);
  hash.UpdateWord(1ULL << 32);  // a row's first word is a 32-bit key or kNullWord, never this
  hash.UpdateWord(null ? kNullWord : static_cast<uint32_t>(id));
  return hash.Final();
}
