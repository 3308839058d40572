// The .reg reader: the registry file is whatever an operator copied onto the machine.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "RegistryFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CRegistryHive hive;
  CRegistryFileError error;
  (void)ParseRegistryFile(std::string_view(reinterpret_cast<const char*>(data), size), hive, error);
  return 0;
}
