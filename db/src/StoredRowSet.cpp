#include "StoredRowSet.h"

#include <cstring>

#include "RowReader.h"

CStoredRowSet::CStoredRowSet(CServerConnection* database, const uint8_t (&key)[kKeyBytes])
    : CRegTreeRecSet(database, kReadOnlyCursor, kNoOptions),
      m_session(database),
      m_sipKey(CSipHash::Key::FromBytes(key)) {
  std::memcpy(m_key, key, sizeof m_key);
}

CStoredRowSet::~CStoredRowSet() {
  // The key must not outlive the run in memory that is handed out again.
  volatile uint8_t* key = m_key;
  for (std::size_t i = 0; i < sizeof m_key; ++i) key[i] = 0;
}

CRowReader& CStoredRowSet::Reader() {
  // A plain Open reads the bound columns; OpenRows reads as the server's rules say.
  if (m_reader == nullptr) m_reader = std::make_unique<CBoundRowReader>(*this);
  return *m_reader;
}

int CStoredRowSet::OpenRows(std::u16string_view condition) {
  // Made anew for each reading: what one reading starts (a second session) is its own.
  m_reader = m_session->Rules().MakeRowReader(*this);
  m_reader->Prepare(condition);
  // Before the selection: a commit after this word may be in the rows, or not.
  m_committedAtReading = m_reader->CommittedState();
  const int opened = Open(m_reader->Selection(condition).c_str());
  if (opened < 0) {
    Sums unused;
    (void)m_reader->Finish(0, unused);
  }
  return opened;
}

bool CStoredRowSet::FinishRows(int64_t rows, Sums& sums) { return Reader().Finish(rows, sums); }

bool CStoredRowSet::ReadRow(Name& name, Digest& digest) { return Reader().ReadRow(name, digest); }

const uint8_t* CStoredRowSet::ListedIdentification(int& length) { return Reader().ListedIdentification(length); }

bool CStoredRowSet::BindAllFields() {
  return (!Reader().ReadsRecordColumns() || CRegTreeRecSet::BindAllFields()) && Reader().BindColumns();
}

SQLRETURN CStoredRowSet::GetLongFieldsData() {
  // Read only where the row is read as bound; elsewhere FileData's place holds a NULL.
  return Reader().ReadsFileData() ? CRegTreeRecSet::GetLongFieldsData() : SQL_SUCCESS;
}

bool CStoredRowSet::Summarize(std::u16string_view condition, const Sums& read, Sums& sums, Progress progress,
                              void* context, _SQL_Error& error) {
  sums = Sums();
  const std::unique_ptr<CRowReader> reader = m_session->Rules().MakeRowReader(*this);
  const std::u16string summary = reader->Summary(condition);
  if (!summary.empty()) return QuerySums(*m_session, summary, sums, error);
  // Nothing committed by another session since the last reading began: the rows that
  // match now are the ones it read. (Where the server gives that word, the caller has
  // taken the write lock, so none can commit before the deletion.)
  if (!m_committedAtReading.empty() && reader->CommittedState() == m_committedAtReading) {
    sums = read;
    return true;
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
