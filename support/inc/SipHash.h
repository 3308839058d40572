#pragma once
// SipHash-2-4 (Aumasson and Bernstein, "SipHash: a fast short-input PRF", 2012): a keyed
// pseudo-random function with a 128-bit key and a 64-bit result. Without the key nobody
// can predict a value's result, nor aim two values at the same one, which a plain hash
// allows. Fed in pieces: Update may be called any number of times, and the result is
// that of the whole concatenation. The key is the 16 bytes as the paper numbers them.

#include <cstddef>
#include <cstdint>
#include <cstring>

class CSipHash {
 public:
  struct Key {
    uint64_t k0 = 0;  // bytes 0 to 7, little-endian
    uint64_t k1 = 0;  // bytes 8 to 15
    static Key FromBytes(const uint8_t (&bytes)[16]) { return Key{LoadLe(bytes), LoadLe(bytes + 8)}; }
  };

  explicit CSipHash(const Key& key)
      : m_v0(key.k0 ^ 0x736f6d6570736575ULL),
        m_v1(key.k1 ^ 0x646f72616e646f6dULL),
        m_v2(key.k0 ^ 0x6c7967656e657261ULL),
        m_v3(key.k1 ^ 0x7465646279746573ULL) {}

  void Update(const void* data, std::size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    m_length += length;
    // Complete the word that an earlier piece left open.
    while (m_pending != 0 && length != 0) {
      m_tail |= static_cast<uint64_t>(*bytes++) << (8 * m_pending);
      --length;
      if (++m_pending == 8) {
        Compress(m_tail);
        m_tail = 0;
        m_pending = 0;
      }
    }
    for (; length >= 8; bytes += 8, length -= 8) Compress(LoadLe(bytes));
    for (; length != 0; --length) m_tail |= static_cast<uint64_t>(*bytes++) << (8 * m_pending++);
  }

  // An integer as its 8 little-endian bytes.
  void UpdateWord(uint64_t word) {
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(word >> (8 * i));
    Update(bytes, sizeof bytes);
  }

  // The result of everything fed so far; the object can take more afterwards.
  uint64_t Final() const {
    CSipHash h = *this;
    const uint64_t last = h.m_tail | (static_cast<uint64_t>(h.m_length & 0xFF) << 56);
    h.Compress(last);
    h.m_v2 ^= 0xFF;
    for (int i = 0; i < 4; ++i) h.Round();
    return h.m_v0 ^ h.m_v1 ^ h.m_v2 ^ h.m_v3;
  }

 private:
  // Both builds run on little-endian x86-64, where this is one load.
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "SipHash words are little-endian");
  static uint64_t LoadLe(const uint8_t* bytes) {
    uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
  }
  static uint64_t Rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

  void Round() {
    m_v0 += m_v1;
    m_v1 = Rotl(m_v1, 13);
    m_v1 ^= m_v0;
    m_v0 = Rotl(m_v0, 32);
    m_v2 += m_v3;
    m_v3 = Rotl(m_v3, 16);
    m_v3 ^= m_v2;
    m_v0 += m_v3;
    m_v3 = Rotl(m_v3, 21);
    m_v3 ^= m_v0;
    m_v2 += m_v1;
    m_v1 = Rotl(m_v1, 17);
    m_v1 ^= m_v2;
    m_v2 = Rotl(m_v2, 32);
  }

  void Compress(uint64_t m) {
    m_v3 ^= m;
    Round();
    Round();
    m_v0 ^= m;
  }

  uint64_t m_v0, m_v1, m_v2, m_v3;
  uint64_t m_tail = 0;       // the bytes of the word not yet complete
  unsigned m_pending = 0;    // how many of them
  uint64_t m_length = 0;     // all bytes fed; its low byte closes the message
};
