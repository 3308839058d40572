#include "RowSetFingerprint.h"

void CRowSetFingerprint::CRow::Key(std::optional<int32_t> key) {
  m_key = key;
  m_hash.UpdateWord(key ? static_cast<uint64_t>(static_cast<uint32_t>(*key)) : kNull);
}

void CRowSetFingerprint::Add(const CRow& row) {
  // The key alone, under the same key but told apart from every row hash by its first
  // word (a row's first word is a 32-bit key or the NULL mark, never this).
  CSipHash keyHash(m_key);
  keyHash.UpdateWord(1ULL << 32);
  keyHash.UpdateWord(row.m_key ? static_cast<uint64_t>(static_cast<uint32_t>(*row.m_key)) : kNull);
  ++m_count;
  m_rows += row.m_hash.Final();
  m_keys += keyHash.Final();
}

void CRowSetFingerprint::Add(std::optional<int32_t> key, std::u16string_view name, bool nameIsNull, int32_t operationType,
                            const uint8_t* identification, std::size_t identificationLength) {
  CRow row = NewRow();
  row.Key(key);
  if (nameIsNull) {
    row.Null();
  } else {
    row.Bytes(name.data(), name.size() * sizeof(char16_t));
    row.EndValue(name.size() * sizeof(char16_t));
  }
  row.Integer(operationType);
  if (identification == nullptr) {
    row.Null();
  } else {
    row.Bytes(identification, identificationLength);
    row.EndValue(identificationLength);
  }
  Add(row);
}

std::string CRowSetFingerprint::DescribeChange(const CRowSetFingerprint& now) const {
  if (*this == now) return std::string();
  const std::string listed = std::to_string(m_count) + " records were listed";
  if (now.m_count != m_count) return listed + ", " + std::to_string(now.m_count) + " match now.";
  if (now.m_keys != m_keys) return listed + " and as many match now, but not the same ones.";
  return listed + ", but some of them were changed since.";
}
