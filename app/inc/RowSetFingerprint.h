#pragma once
// An order-independent fingerprint of a set of FileTree rows, so that the rows the
// operator confirmed can be compared with the rows that match later without keeping
// them in memory. Each row's key, name, operation type and identification are hashed;
// the set keeps the count, the sum of the row hashes and the sum of the key hashes.
// Sums are order-independent and count a repeated row (a duplicated key) as often as it
// occurs; a NULL key hashes differently from every value. Meant to catch what other
// writers do to the table, not an adversary: 64 bits per sum.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class CRowSetFingerprint {
 public:
  // identification is null for a NULL value; a name is as fetched (NULL listed as empty,
  // nameIsNull tells them apart).
  void Add(std::optional<int32_t> key, std::u16string_view name, bool nameIsNull, int32_t operationType,
           const uint8_t* identification, std::size_t identificationLength);

  int64_t Count() const { return m_count; }
  bool operator==(const CRowSetFingerprint& other) const {
    return m_count == other.m_count && m_rows == other.m_rows && m_keys == other.m_keys;
  }
  bool operator!=(const CRowSetFingerprint& other) const { return !(*this == other); }

  // What the rows that match `now` have that these have not, for the operator; empty
  // when they are the same rows.
  std::string DescribeChange(const CRowSetFingerprint& now) const;

 private:
  int64_t m_count = 0;
  uint64_t m_rows = 0;
  uint64_t m_keys = 0;
};
