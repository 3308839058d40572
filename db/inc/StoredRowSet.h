#pragma once
// The FileTree rows that a condition selects, read as the database stores them: for each
// row, what the list shows of its name, and a digest of the whole row under the run's
// key for the check after "yes". How they are read, digested and summed is the server's
// own (CServerRules::MakeRowReader); no driver's conversion of text to UTF-16 is trusted
// where the server can give its stored bytes.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "CRegTreeRecSet.h"
#include "ServerConnection.h"
#include "SipHash.h"

class CRowReader;

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

  CStoredRowSet(CServerConnection* database, const uint8_t (&key)[kKeyBytes]);
  ~CStoredRowSet() override;

  // Opens the rows that `condition` (an SQL condition on FileTree's columns) selects, as
  // CODBCRecordset::Open answers.
  [[nodiscard]] int OpenRows(std::u16string_view condition);
  // Ends the reading of the rows that OpenRows opened, `rows` of them read. Where the
  // server summed them apart from the reading, sums becomes its sums of the same rows;
  // elsewhere, or after a failed read, it is left as it is. False, with the error kept for
  // GetError, when the server's sums could not be had or count other rows.
  [[nodiscard]] bool FinishRows(int64_t rows, Sums& sums);
  // The current row of OpenRows: its name and digest. False, with the error kept for
  // GetError, when a value could not be read whole.
  [[nodiscard]] bool ReadRow(Name& name, Digest& digest);
  // The current row's identification as far as the list needs it: for a value of the
  // 112 bytes of a record, a record that holds its last-write time (where the server
  // digests the rows, nothing else), else null or any bytes; and the value's length.
  const uint8_t* ListedIdentification(int& length);

  // The rows that `condition` selects now, summed: on a server that hashes, by the server
  // in one row; elsewhere read and hashed here, `progress` told of each, unless the
  // server proves that nothing was committed by another session since the last reading
  // of OpenRows began: `read`, the caller's sums of that reading's rows, then stand.
  // False with the error when they cannot all be read.
  [[nodiscard]] bool Summarize(std::u16string_view condition, const Sums& read, Sums& sums, Progress progress,
                               void* context, _SQL_Error& error);

  [[nodiscard]] bool BindAllFields() override;
  SQLRETURN GetLongFieldsData() override;

 private:
  friend class CRowReader;
  CServerConnection* Session() const { return m_session; }
  // The reader of the server at hand, made for the rows about to be read.
  CRowReader& Reader();

  CServerConnection* m_session;
  uint8_t m_key[kKeyBytes];
  CSipHash::Key m_sipKey;
  std::unique_ptr<CRowReader> m_reader;
  // The server's word for what was committed as the last reading of OpenRows began
  // (CRowReader::CommittedState).
  std::u16string m_committedAtReading;
};

// The sum, mod 2^64, that a server's decimal answer for a SUM names ("-12",
// "340282366920938463463374607431768211457"). False when text is not a decimal number.
[[nodiscard]] bool DecimalModulo64(std::string_view text, uint64_t& value);
