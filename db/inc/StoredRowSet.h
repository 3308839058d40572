#pragma once
// The FileTree rows that a condition selects, read as the database stores them: for each
// row, what the list shows of its name, and a digest of the whole row under the run's
// key for the check after "yes".
//
// The selection is each server's own. Where the server can hash (PostgreSQL, MariaDB),
// it computes each row's digest from the bytes it stores (SHA-256 over the key and every
// value, each with its length and NULL told apart from empty), and the check asks it for
// the count and the digests' sum alone; PostgreSQL sums the listed rows so too, on a
// second connection in the listing's snapshot. Elsewhere (SQLite) the row's stored bytes are read
// (as hexadecimal text, which no driver converts) and hashed here with SipHash-2-4 under
// the same key. Either way no driver's conversion of text to UTF-16 is trusted: the name
// is shown from its stored bytes, except on PostgreSQL, whose UTF-8 text converts
// losslessly and cannot hold a NUL.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "CRegTreeRecSet.h"
#include "SipHash.h"

class CStoredRowSet : public CRegTreeRecSet {
 public:
  static constexpr std::size_t kKeyBytes = 16;
  // A row's digest: of the whole row, and of its key alone (to tell a changed row from
  // another row; on a server that hashes, the key itself).
  struct Digest {
    uint64_t row = 0;
    uint64_t key = 0;
  };
  // A set of rows: how many, and the sums of their digests, mod 2^64.
  struct Sums {
    int64_t count = 0;
    uint64_t rows = 0;
    uint64_t keys = 0;
    void Add(const Digest& digest) {
      ++count;
      rows += digest.row;
      keys += digest.key;
    }
    bool operator==(const Sums& other) const {
      return count == other.count && rows == other.rows && keys == other.keys;
    }
  };
  // What the list shows of the current row's name: its stored UTF-8 bytes (utf8 set) or
  // its text, at most the 260 UTF-16 units a line shows; cut when the name goes on.
  struct Name {
    bool null = false;
    bool cut = false;
    bool utf8 = false;
    std::string_view bytes;
    std::u16string_view text;
  };
  using Progress = void (*)(void* context, int64_t rows);

  CStoredRowSet(CODBCDatabase* database, const uint8_t (&key)[kKeyBytes]);
  ~CStoredRowSet() override;

  // Opens the rows that `condition` (an SQL condition on FileTree's columns) selects, as
  // CODBCRecordset::Open answers.
  [[nodiscard]] int OpenRows(std::u16string_view condition);
  // Ends the reading of the rows that OpenRows opened, `rows` of them read. Where the
  // server summed them apart from the reading (PostgreSQL), sums becomes its sums of the
  // same rows; elsewhere, or after a failed read, it is left as it is. False, with the
  // error kept for GetError, when the server's sums could not be had or count other rows.
  [[nodiscard]] bool FinishRows(int64_t rows, Sums& sums);
  // The current row of OpenRows: its name and digest. False, with the error kept for
  // GetError, when a value could not be read whole.
  [[nodiscard]] bool ReadRow(Name& name, Digest& digest);
  // The current row's identification as far as the list needs it: for a value of the
  // 112 bytes of a record, a record that holds its last-write time (on SQLite nothing
  // else), else null or any bytes; and the value's length.
  const uint8_t* ListedIdentification(int& length);

  // The rows that `condition` selects now, summed: on a server that hashes, by the server
  // in one row; elsewhere read and hashed here, `progress` told of each. False with the
  // error when they cannot all be read.
  [[nodiscard]] bool Summarize(std::u16string_view condition, Sums& sums, Progress progress, void* context,
                               _SQL_Error& error);

  // The statements of the server at hand, for the tests and the benchmark.
  std::u16string SelectionStatement(std::u16string_view condition) const;
  std::u16string SummaryStatement(std::u16string_view condition) const;

  [[nodiscard]] bool BindAllFields() override;
  SQLRETURN GetLongFieldsData() override;

 private:
  enum class Reading {
    Bound,     // the four bound columns, as a plain Open reads them
    Hex,       // SQLite: columns 6 and 7 the name's and identification's stored bytes in hexadecimal
    Server,    // column 6 the row's digest, in hexadecimal; MariaDB: 7 the name's stored bytes
    Summed,    // PostgreSQL: no digest; the rows are summed on a second connection
  };
  class CSharedSummary;
  static constexpr int kNameHexCapacity = 2 + 2 * 4 * (kFileNameChars - 1);  // 'x', the bytes, NUL
  static constexpr int kIdentificationHexCapacity = 2 + 2 * kFileIdentificationBytes;
  static constexpr int kDigestHexCapacity = 17;
  static constexpr int kNameBytesCapacity = 4 * (kFileNameChars - 1);

  Reading ReadingOf(CODBCDatabase::Server server) const;
  bool ReadEncoding();
  bool HashHexValue(int column, const char* buffer, int32_t slot, int capacity, CSipHash& hash);
  bool ReadSqliteRow(Name& name, Digest& digest);
  bool ReadServerRow(Name& name, Digest& digest);
  bool SummarizeOnServer(std::u16string_view condition, Sums& sums, _SQL_Error& error);
  void StartSharedSummary(std::u16string_view condition);

  uint8_t m_key[kKeyBytes];
  CSipHash::Key m_sipKey;
  Reading m_reading = Reading::Bound;
  enum class Encoding { Utf8, Utf16le, Utf16be } m_encoding = Encoding::Utf8;
  // The columns past the bound ones, with their length/indicator slots.
  char m_nameHex[kNameHexCapacity];
  char m_identificationHex[kIdentificationHexCapacity];
  char m_rowDigest[kDigestHexCapacity];
  uint8_t m_nameBytes[kNameBytesCapacity];
  int32_t m_extraSlots[2] = {};
  // What the current row decodes to, kept between rows so that no row allocates.
  std::string m_decodedName;
  std::u16string m_decodedText;
  uint8_t m_identification[kFileIdentificationSize];
  std::unique_ptr<CSharedSummary> m_summary;
};

// The sum, mod 2^64, that a server's decimal answer for a SUM names ("-12", "340282366920938463463374607431768211457").
// False when text is not a decimal number.
[[nodiscard]] bool DecimalModulo64(std::string_view text, uint64_t& value);
