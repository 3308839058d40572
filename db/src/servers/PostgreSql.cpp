// PostgreSQL, through psqlODBC: everything the tool does its own way there.

#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "../RowReader.h"
#include "Servers.h"
#include "WideText.h"

namespace {

// The servers' digests: every value goes in with what tells it apart, so that no two rows
// are ever encoded alike. Here that is the row as its binary send function writes it
// (record_send: the column count, then each column's type, its length or -1 for NULL,
// and its bytes), which is all that in one call, cheaper for the server than the same
// encoding spelled out with ||. The name's bytes are those of the session's encoding,
// UTF-8 as psqlODBC's Unicode driver sets it: what a UTF-8 database stores, and a
// lossless conversion from any other. The first 8 bytes of the SHA-256, as an unsigned
// big-endian number, are what is summed. The keys alone are summed as they are: that sum
// only tells the operator a changed row from another row, and a second SHA-256 a row
// would cost the listing and the check nearly as much as the first.
std::u16string RowBytes(const std::u16string& key) {
  return u"'\\x" + key + u"'::bytea || record_send(ROW(FileID, FileName, FileIdentification, OperationType))";
}

std::u16string DigestHex(const std::u16string& bytes) { return u"encode(substr(sha256(" + bytes + u"), 1, 8), 'hex')"; }

// NOTE: from PostgreSQL 14 on, hash_record_extended() hashes a row under a 64-bit seed,
// about three times cheaper than the SHA-256 of its bytes; a fresh seed each run keeps
// the chance that a change goes unseen near 2^-64. It folds the columns' own hashes
// linearly (h * 31 + next), so two listed rows that swapped a value would leave the sum
// of the rows' hashes as it was: each row's is hashed once more, under a second seed,
// before it is summed. The name is hashed as bytes ("C"), not as a collation that may
// take two names for one.
int MajorVersion(std::u16string_view version) {
  int major = 0;
  for (std::size_t i = 0; i < version.size() && version[i] >= u'0' && version[i] <= u'9' && major < 10000; ++i) {
    major = major * 10 + (version[i] - u'0');
  }
  return major;
}
constexpr int kSeededHashSince = 14;

// A read transaction at REPEATABLE READ whose snapshot other sessions can take
// (BeginInSnapshot), so that their statements see exactly the rows this one's do.
// Non-zero with the transaction open and id naming its snapshot; zero with the record
// filled and no transaction left open.
int BeginSharedSnapshot(CODBCDatabase& database, std::u16string& id, _SQL_Error& error) {
  id.clear();
  if (database.BeginTransaction(error, SQL_TXN_REPEATABLE_READ) == 0) return 0;
  // The transaction's first query takes its snapshot, which every later one sees.
  if (database.QueryText(u"SELECT pg_export_snapshot()", id, error) != 0 && !id.empty()) return 1;
  return database.AbandonBegunTransaction(error);
}

// A transaction at REPEATABLE READ that sees what the snapshot `id`, of another
// session's open transaction, sees. Non-zero on success; zero with the record filled.
int BeginInSnapshot(CODBCDatabase& database, std::u16string_view id, _SQL_Error& error) {
  // An identifier as PostgreSQL makes them (hexadecimal and dashes) is all that is put
  // into the statement.
  if (id.empty() || id.find_first_not_of(u"0123456789ABCDEFabcdef-") != std::u16string_view::npos) {
    return database.Fail(u"HY024", u"The snapshot's name is not one PostgreSQL gives.", error);
  }
  if (database.BeginTransaction(error, SQL_TXN_REPEATABLE_READ) == 0) return 0;
  if (database.Execute((u"SET TRANSACTION SNAPSHOT '" + std::u16string(id) + u"'").c_str(), error) != 0) return 1;
  return database.AbandonBegunTransaction(error);
}

// The sums of the listed rows, which the server computes on a second connection, in the
// listing's snapshot, while the listing reads the rows. NOTE: the SHA-256 of every row in
// the listing's own statement made the listing much slower, since the tool waits while
// the server hashes each batch; on a connection of its own, the server hashes while the
// tool lists.
class CSharedSummary {
 public:
  using Sums = CStoredRowSet::Sums;
  CSharedSummary(const CServerConnection& listing, std::u16string snapshot, std::u16string statement)
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
      CServerConnection session;
      _SQL_Error error;
      m_summed = session.Connect(m_connection.c_str(), nullptr) != 0 &&
                 (m_lockWait <= 0 || session.LimitLockWaits(m_lockWait, error) != 0) &&
                 BeginInSnapshot(session, m_snapshot, error) != 0 && QuerySums(session, m_statement, m_sums, error);
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

// The listing reads the name's bytes in UTF-8, the encoding the digest takes them in (a
// lossless conversion of any database's text, which cannot hold a NUL), the write time of
// the identification, and the key; the server sums the rows on a second session in the
// listing's snapshot, or, where that cannot be had, gives each row's digest with it.
// NOTE: psqlODBC rewrites the text it hands over as the connection's options say
// (LFConversion=1, its default on Windows, turns every LF into CR LF; a client encoding
// set in ConnSettings recodes it); a bytea is handed over as it is, but as hexadecimal
// that costs the listing about a tenth more. So the text's own bytes are read where a
// probe shows that the driver passes them unchanged, and convert_to()'s bytea elsewhere.
class CPostgresRowReader final : public CRowReader {
 public:
  using CRowReader::CRowReader;

  void Prepare(std::u16string_view condition) override;
  // What each row's digest is, as a bigint.
  std::u16string RowDigest() const {
    if (MajorVersion(Database().DbmsVersion()) < kSeededHashSince) {
      return u"('x' || " + DigestHex(RowBytes(KeyHex())) + u")::bit(64)::bigint";
    }
    return u"hashint8extended(hash_record_extended(ROW(FileID, FileName COLLATE \"C\", FileIdentification, "
           u"OperationType), " +
           KeyWord(0) + u"), " + KeyWord(1) + u")";
  }
  std::u16string Selection(std::u16string_view condition) const override {
    std::u16string columns =
        u"FileID, NULL, " + WriteTimeColumn() + u", OperationType, NULL, " +
        (m_textIsExact ? u"FileName" : u"convert_to(FileName, 'UTF8')");
    if (m_summary == nullptr) columns += u", lpad(to_hex(" + RowDigest() + u"), 16, '0')";
    return u"SELECT " + columns + u" FROM FileTree WHERE " + std::u16string(condition);
  }
  bool BindColumns() override {
    return Bind(kNameBytesColumn, m_nameBytes, SQL_C_BINARY, kNameBytesCapacity, m_slots[0]) &&
           (m_summary != nullptr || Bind(kRowDigestColumn, m_rowDigest, SQL_C_CHAR, kDigestHexCapacity, m_slots[1]));
  }
  bool ReadRow(Name& name, Digest& digest) override;
  const uint8_t* ListedIdentification(int& length) override {
    return RecordOfWriteTime(Rows(), m_identification, length);
  }
  bool Finish(int64_t rows, Sums& sums) override;
  std::u16string Summary(std::u16string_view condition) const override {
    // SUM of bigint is numeric: exact, whatever the count.
    return u"SELECT COUNT(*), sum(" + RowDigest() + u"), sum(FileID::int8) FROM FileTree WHERE " +
           std::u16string(condition);
  }

 private:
  static constexpr int kNameBytesColumn = 6, kRowDigestColumn = 7, kDigestHexCapacity = 17;
  static constexpr int kNameBytesCapacity = 4 * kShownUnits;
  std::unique_ptr<CSharedSummary> m_summary;
  bool m_textIsExact = false;
  uint8_t m_nameBytes[kNameBytesCapacity] = {};
  char m_rowDigest[kDigestHexCapacity] = {};
  int32_t m_slots[2] = {};
  uint8_t m_identification[kFileIdentificationSize] = {};
};

// Whether psqlODBC hands over a text's bytes as the server stores them in UTF-8: a line
// feed and characters beyond ASCII, read as bytes, come back as they are. Asked only of
// a UTF-8 database, where the probe's characters exist and it cannot fail (a failed
// statement would end a transaction that is open).
bool DriverPassesTextUnchanged(CODBCDatabase& database) {
  std::u16string encoding;
  _SQL_Error error;
  if (database.QueryText(u"SHOW server_encoding", encoding, error) == 0 || encoding != u"UTF8") return false;
  CODBCRecordset probe(&database, CODBCTypedRecordset::kReadOnlyCursor, CODBCTypedRecordset::kNoOptions, 0);
  std::string bytes;
  int64_t total = 0;
  return probe.Open(u"SELECT E'\\n\\u00E9\\U0001F600'::text") >= 0 && !probe.IsEof() &&
         SqlSucceeded(probe.ReadWholeValue(1, SQL_C_BINARY, AppendPiece, &bytes, total)) &&
         bytes == "\n\xC3\xA9\xF0\x9F\x98\x80";
}

void CPostgresRowReader::Prepare(std::u16string_view condition) {
  m_textIsExact = DriverPassesTextUnchanged(Database());
  std::u16string snapshot;
  _SQL_Error error;
  // Without a snapshot to share, each row carries its digest, as on MariaDB.
  if (BeginSharedSnapshot(Database(), snapshot, error) == 0) return;
  m_summary = std::make_unique<CSharedSummary>(Database(), std::move(snapshot), Summary(condition));
}

bool CPostgresRowReader::ReadRow(Name& name, Digest& digest) {
  const CStoredRowSet& rows = Rows();
  // The key as the server's SUM(FileID) adds it (a NULL adds nothing).
  digest.key = rows.IsFileIDNull() ? 0 : static_cast<uint64_t>(static_cast<int64_t>(rows.GetFileID()));
  digest.row = 0;  // summed apart
  if (m_summary == nullptr && !ParseDigest(m_rowDigest, m_slots[1], digest.row)) {
    RecordError(u"HY000", u"The server did not give the digest of a row.");
    return false;
  }
  NameOfUtf8Bytes(m_nameBytes, kNameBytesCapacity, m_slots[0], name);
  return true;
}

bool CPostgresRowReader::Finish(int64_t rows, Sums& sums) {
  if (m_summary == nullptr) return true;
  _SQL_Error error;
  const bool readWhole = !Rows().GetError(error);
  Sums summed;
  bool ok = m_summary->Wait(summed);
  // A second connection refused (a limit on sessions, a listener that sent it elsewhere)
  // leaves the sums to this one, in the same snapshot.
  if (readWhole && !ok) ok = QuerySums(Database(), m_summary->Statement(), summed, error);
  m_summary.reset();
  _SQL_Error ended;
  if (Database().EndTransaction(false, ended) == 0 && ok) {
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

class CPostgresRules final : public CServerRules {
 public:
  bool CommitRefused(const _SQL_Error& commitError) const override {
    // A deferred constraint that fails at the COMMIT rolls the transaction back.
    return CServerRules::CommitRefused(commitError) ||
           (commitError.returnCode == SQL_ERROR && std::u16string_view(commitError.sqlState).substr(0, 2) == u"23");
  }
  std::u16string LockWaitStatement(int seconds) const override {
    // lock_timeout is in milliseconds; 0 means no bound at all.
    const std::u16string n = FromUtf8(std::to_string(seconds));
    return u"SELECT set_config('lock_timeout', CASE WHEN setting::bigint > 0 AND setting::bigint < " + n +
           u"000 THEN setting ELSE '" + n + u"000' END, false) FROM pg_settings WHERE name = 'lock_timeout'";
  }
  LockFailure ClassifyLockFailure(const _SQL_Error& error) const override {
    if (std::u16string_view(error.sqlState) == u"55P03") return LockFailure::WaitTimedOut;  // lock_timeout ran out
    return CServerRules::ClassifyLockFailure(error);
  }
  // NOTE: PostgreSQL fires a table's statement triggers for a DELETE that matches no row,
  // and makes it wait for any lock on the table. The transaction's own setting says what
  // it may do without touching the table: every transaction of a hot standby is
  // read-only, and so is every one of a session made read-only by default.
  WriteProbe ProbeStatement(std::u16string_view) const override { return {u"SHOW transaction_read_only", true}; }
  Refusal ClassifyRefusal(const _SQL_Error& error) const override {
    // A hot standby, or a session whose transactions are read-only by default.
    return std::u16string_view(error.sqlState) == u"25006" ? Refusal::ReadOnly : Refusal::None;
  }
  // Rules too: a rule on DELETE may do more than the DELETE.
  std::u16string CascadeQuery(std::u16string_view table) const override {
    const std::u16string t(table);
    return u"SELECT (SELECT COUNT(*) FROM pg_trigger WHERE tgrelid = '" + t +
           u"'::regclass AND NOT tgisinternal) + (SELECT COUNT(*) FROM pg_constraint WHERE contype = 'f' AND "
           u"confrelid = '" + t + u"'::regclass AND confdeltype IN ('c', 'n', 'd')) + (SELECT COUNT(*) FROM "
           u"pg_rewrite WHERE ev_class = '" + t + u"'::regclass AND ev_type = '4')";
  }
  std::unique_ptr<CRowReader> MakeRowReader(CStoredRowSet& rows) const override {
    return std::make_unique<CPostgresRowReader>(rows);
  }
};

}  // namespace

const CServerRules& PostgresRules() { return TheRules<CPostgresRules>(); }
