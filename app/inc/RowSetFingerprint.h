#pragma once
// An order-independent fingerprint of a set of FileTree rows, so that the rows the
// operator confirmed can be compared with the rows that match later without keeping
// them in memory. Each row's key, name, operation type and identification, whole, are
// hashed with SipHash-2-4 under a key drawn afresh for each run; the set keeps the
// count, the sum of the row hashes and the sum of the key hashes. Sums are
// order-independent and count a repeated row (a duplicated key) as often as it occurs; a
// NULL hashes differently from every value. Nobody who changes the table can aim at an
// equal fingerprint: without the run's key the row hashes cannot be predicted.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "SipHash.h"

class CRowSetFingerprint {
 public:
  // One row's hash, fed field by field in the row's order: key, name, operation type,
  // identification. A value may arrive in pieces (Bytes, then EndValue with its length);
  // the length goes after the value, which tells the fields apart just as well and lets
  // a value be hashed before its length is known.
  class CRow {
   public:
    void Key(std::optional<int32_t> key);
    void Integer(int32_t value) { m_hash.UpdateWord(static_cast<uint32_t>(value)); }
    void Bytes(const void* data, std::size_t length) { m_hash.Update(data, length); }
    void EndValue(uint64_t length) { m_hash.UpdateWord(length); }
    // Ends a value given in another form than the field's usual one (a name as its stored
    // UTF-8 bytes rather than as UTF-16), so that the two forms never hash alike.
    void EndValueInOtherForm(uint64_t length) { m_hash.UpdateWord(length | kOtherForm); }
    void Null() { m_hash.UpdateWord(kNull); }

   private:
    friend class CRowSetFingerprint;
    explicit CRow(const CSipHash::Key& key) : m_hash(key) {}
    CSipHash m_hash;
    std::optional<int32_t> m_key;
  };

  explicit CRowSetFingerprint(const CSipHash::Key& key) : m_key(key) {}
  // An empty set under the same key, for the rows to compare with these.
  CRowSetFingerprint Empty() const { return CRowSetFingerprint(m_key); }

  CRow NewRow() const { return CRow(m_key); }
  void Add(const CRow& row);
  // A whole row at once. identification is null for a NULL value; a name is as fetched
  // (NULL listed as empty, nameIsNull tells them apart).
  void Add(std::optional<int32_t> key, std::u16string_view name, bool nameIsNull, int32_t operationType,
           const uint8_t* identification, std::size_t identificationLength);

  int64_t Count() const { return m_count; }
  bool operator==(const CRowSetFingerprint& other) const {
    return m_key.k0 == other.m_key.k0 && m_key.k1 == other.m_key.k1 && m_count == other.m_count &&
           m_rows == other.m_rows && m_keys == other.m_keys;
  }
  bool operator!=(const CRowSetFingerprint& other) const { return !(*this == other); }

  // What the rows that match `now` have that these have not, for the operator; empty
  // when they are the same rows.
  std::string DescribeChange(const CRowSetFingerprint& now) const;

 private:
  // What a NULL puts where a value's length would stand: no value is that long.
  static constexpr uint64_t kNull = ~0ULL;
  static constexpr uint64_t kOtherForm = 1ULL << 63;

  CSipHash::Key m_key;
  int64_t m_count = 0;
  uint64_t m_rows = 0;
  uint64_t m_keys = 0;
};
