#include "RowSetFingerprint.h"

#include <cstring>

namespace {

// A multiply-rotate chain over 64-bit words with a final avalanche (MurmurHash3's
// finaliser): cheap enough to run over every listed row twice.
class CRowHash {
 public:
  explicit CRowHash(uint64_t seed) : m_state(seed) {}

  void Word(uint64_t word) {
    m_state = (m_state ^ word) * 0x9E3779B97F4A7C15ULL;
    m_state = (m_state << 29) | (m_state >> 35);
  }

  // The length goes first, so that fields cannot run into each other.
  void Bytes(const void* data, std::size_t length) {
    Word(length);
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (; length >= 8; bytes += 8, length -= 8) {
      uint64_t word;
      std::memcpy(&word, bytes, 8);
      Word(word);
    }
    if (length > 0) {
      uint64_t word = 0;
      std::memcpy(&word, bytes, length);
      Word(word);
    }
  }

  uint64_t Final() const {
    uint64_t h = m_state;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    h *= 0xC4CEB93FE53E4BB9ULL;
    h ^= h >> 33;
    return h;
  }

 private:
  uint64_t m_state;
};

// Marks a NULL apart from every value of the same field.
constexpr uint64_t kNull = ~0ULL;

void Key(CRowHash& hash, std::optional<int32_t> key) {
  hash.Word(key ? static_cast<uint64_t>(static_cast<uint32_t>(*key)) : kNull);
}

}  // namespace

void CRowSetFingerprint::Add(std::optional<int32_t> key, std::u16string_view name, bool nameIsNull, int32_t operationType,
                            const uint8_t* identification, std::size_t identificationLength) {
  CRowHash keyHash(1);
  Key(keyHash, key);
  CRowHash row(2);
  Key(row, key);
  if (nameIsNull) {
    row.Word(kNull);
  } else {
    row.Bytes(name.data(), name.size() * sizeof(char16_t));
  }
  row.Word(static_cast<uint32_t>(operationType));
  if (identification == nullptr) {
    row.Word(kNull);
  } else {
    row.Bytes(identification, identificationLength);
  }
  ++m_count;
  m_rows += row.Final();
  m_keys += keyHash.Final();
}

std::string CRowSetFingerprint::DescribeChange(const CRowSetFingerprint& now) const {
  if (*this == now) return std::string();
  const std::string listed = std::to_string(m_count) + " records were listed";
  if (now.m_count != m_count) return listed + ", " + std::to_string(now.m_count) + " match now.";
  if (now.m_keys != m_keys) return listed + " and as many match now, but not the same ones.";
  return listed + ", but some of them were changed since.";
}
