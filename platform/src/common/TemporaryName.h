#pragma once
// The name of a new file beside path: "<path>.<process>-<tag>.tmp". Created exclusively,
// so a name that exists (another run's, or planted) only makes the caller take the next.

#include <chrono>
#include <cstdint>
#include <string>

inline std::string TemporaryNameBeside(const std::string& path, unsigned long process, int attempt) {
  static constexpr char kHex[] = "0123456789abcdef";
  // The clock makes the name hard to guess ahead; the attempt makes each one different.
  uint64_t tag = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  tag = (tag ^ (tag >> 29)) * 0x9E3779B97F4A7C15ULL + static_cast<uint64_t>(attempt);
  std::string name = path + "." + std::to_string(process) + "-";
  for (int i = 0; i < 8; ++i, tag >>= 4) name.push_back(kHex[tag & 0xF]);
  return name + ".tmp";
}
