#pragma once
// The rows the operator confirmed, as the check after "yes" compares them with the rows
// that match then, without keeping them in memory: their count and the sums of their
// digests (CStoredRowSet), each taken over the whole row as stored under a key drawn
// afresh for each run. Sums are order-independent and count a repeated row as often as
// it occurs. Nobody who changes the table can aim at equal sums: without the run's key
// the digests cannot be predicted.

#include <cstdint>
#include <string>

#include "StoredRowSet.h"

class CRowSetFingerprint {
 public:
  void Add(const CStoredRowSet::Digest& digest) { m_sums.Add(digest); }
  // The sums of the same rows, computed apart from their reading.
  void Take(const CStoredRowSet::Sums& sums) { m_sums = sums; }
  int64_t Count() const { return m_sums.count; }
  const CStoredRowSet::Sums& Sums() const { return m_sums; }

  // What the rows that match `now` have that these have not, for the operator; empty
  // when they are the same rows.
  std::string DescribeChange(const CStoredRowSet::Sums& now) const;

 private:
  CStoredRowSet::Sums m_sums;
};
