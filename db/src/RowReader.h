#pragma once
// How one server's FileTree rows are read for the listing and the check: made by that
// server's rules (CServerRules::MakeRowReader) for one recordset, and what the readers of
// several servers share.

#include <cstdint>
#include <string>
#include <string_view>

#include "SipHash.h"
#include "StoredRowSet.h"

class CRowReader {
 public:
  using Name = CStoredRowSet::Name;
  using Digest = CStoredRowSet::Digest;
  using Sums = CStoredRowSet::Sums;

  explicit CRowReader(CStoredRowSet& rows) : m_rows(rows) {}
  virtual ~CRowReader() = default;
  CRowReader(const CRowReader&) = delete;
  CRowReader& operator=(const CRowReader&) = delete;

  // Before the selection of `condition` runs.
  virtual void Prepare(std::u16string_view) {}
  // A word for everything committed to the database by any session but this one, which
  // changes with each such commit; empty where the server cannot give one.
  virtual std::u16string CommittedState() { return {}; }
  // The SELECT of the rows that `condition` selects: FileTree's four bound columns in
  // their places (a NULL where a column is not read so), a NULL where FileData stands
  // when the reader has columns of its own, and those after it; or, where the reader
  // reads none of the recordset's (ReadsRecordColumns), its own alone.
  virtual std::u16string Selection(std::u16string_view condition) const = 0;
  // Whether the recordset's columns lead the selection and are bound. A driver that
  // handles every column of every row pays for each NULL that only holds a place.
  virtual bool ReadsRecordColumns() const { return true; }
  // Binds the reader's own columns, past the recordset's. False when one cannot be.
  virtual bool BindColumns() { return true; }
  // Whether FileData is read with each row: only where the row is read as bound.
  virtual bool ReadsFileData() const { return false; }
  // The current row: what the list shows of its name, and its digest. False, with the
  // error kept on the recordset, when a value could not be read whole.
  virtual bool ReadRow(Name& name, Digest& digest) = 0;
  // The current row's identification as far as the list needs it
  // (CStoredRowSet::ListedIdentification).
  virtual const uint8_t* ListedIdentification(int& length) = 0;
  // Ends the reading of `rows` rows. Where the server summed them apart from the reading,
  // sums becomes its sums of the same rows. False, with the error kept on the recordset,
  // when those could not be had or count other rows.
  virtual bool Finish(int64_t, Sums&) { return true; }
  // The statement whose one row is the server's count and sums of the rows that
  // `condition` selects now; empty where the rows are read again and summed here.
  virtual std::u16string Summary(std::u16string_view) const { return {}; }

 protected:
  CStoredRowSet& Rows() const { return m_rows; }
  CServerConnection& Database() const { return *m_rows.Session(); }
  // The run's key, in hexadecimal for a statement, or for SipHash-2-4.
  std::u16string KeyHex() const;
  // Its first (0) or second (1) eight bytes as a signed number in decimal, for a
  // server's seeded hash.
  std::u16string KeyWord(int half) const;
  const CSipHash::Key& SipKey() const { return m_rows.m_sipKey; }
  // Binds a column past the recordset's; slot receives its length or indicator.
  bool Bind(int column, void* buffer, SQLSMALLINT type, int capacity, int32_t& slot);
  int ResultColumns() const { return m_rows.ResultColumns(); }
  void RecordError(const char16_t* state, const char16_t* text) { m_rows.RecordError(state, text); }

 private:
  CStoredRowSet& m_rows;
};

// What a NULL puts where a value's length would stand in a tool-side digest: no value is
// that long.
constexpr uint64_t kNullWord = ~0ULL;
// The UTF-16 units of a name that a line of the list shows.
constexpr std::size_t kShownUnits = CRegTreeRecSet::kFileNameChars - 1;

// For CODBCRecordset::ReadWholeValue: the pieces appended to a std::string, or hashed
// into a CSipHash.
void AppendPiece(void* text, const uint8_t* bytes, std::size_t length);
void HashPiece(void* hash, const uint8_t* bytes, std::size_t length);

// Hexadecimal text into bytes; false at a character that is no digit or an odd count.
bool DecodeHex(std::string_view hex, uint8_t* out);
void AppendHex(std::u16string& out, const uint8_t* bytes, std::size_t length);
// A digest given as 16 hexadecimal digits.
bool ParseDigest(const char* text, int32_t slot, uint64_t& value);
// The stored UTF-8 bytes that fill at most the units a line shows: a character is one
// unit, or two beyond the BMP; a byte that begins no character, one. more: bytes remain.
std::size_t ShownUtf8Bytes(std::string_view bytes, bool& more);
// A name read as UTF-8 bytes into a buffer of `capacity` bytes, slot its length or
// indicator as the driver set it: null, or the bytes a line shows, cut where the value
// goes on past them or past the buffer.
void NameOfUtf8Bytes(const uint8_t* buffer, int capacity, int32_t slot, CStoredRowSet::Name& name);

// The identification column as a server that digests it sends it: the 8 bytes of the
// last-write time of a record alone (a value of another length shows no time), which is
// all the list needs of it.
std::u16string WriteTimeColumn();
// That column put back where a record holds it, in `record`; null when there is none.
const uint8_t* RecordOfWriteTime(const CStoredRowSet& rows, uint8_t* record, int& length);

// The one row of a summary statement (CRowReader::Summary): the count and the two sums.
// False with the error when it cannot be had.
bool QuerySums(CODBCDatabase& database, const std::u16string& statement, CStoredRowSet::Sums& sums, _SQL_Error& error);

// The rows read as the recordset binds them, hashed here: for a server whose stored
// bytes the tool has no way to ask for. A value longer than its buffer is read whole
// again.
class CBoundRowReader : public CRowReader {
 public:
  using CRowReader::CRowReader;
  std::u16string Selection(std::u16string_view condition) const override;
  bool ReadsFileData() const override { return true; }
  bool ReadRow(Name& name, Digest& digest) override;
  const uint8_t* ListedIdentification(int& length) override;
};

// A digest's key part on a server that hashes here: the row's key alone, marked so that
// it is never the digest of a row.
uint64_t KeyDigest(const CSipHash::Key& key, bool null, int32_t id);
