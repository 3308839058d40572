// The in-memory key tree's path walk, with any path and any access mask.
#include <cstddef>
#include <cstdint>
#include <string>

#include "MemoryKey.h"
#include "RegistryKey.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const REGSAM access = static_cast<REGSAM>(data[0] | (data[1] << 8) | (data[2] << 16) | (data[3] << 24));
  std::u16string path((size - 4) / 2, u'\0');
  for (size_t i = 4; i + 1 < size; i += 2) path[(i - 4) / 2] = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  CMemoryKey root;
  (void)root.OpenSubKey(path.c_str(), access);
  (void)root.OpenSubKey(path.c_str(), access);  // the second walk finds what the first made
  CRegistryKey key(root);
  (void)key.Open(path.c_str(), access);
  char16_t value[8];
  DWORD bytes = 0;
  (void)key.QueryValue(path.c_str(), value, 8, &bytes);
  return 0;
}
