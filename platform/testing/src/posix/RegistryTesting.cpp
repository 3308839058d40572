#include "RegistryTesting.h"

#include <cstdlib>

#include "RegistryTestHooks.h"

bool ImportRegistryFileForTesting(const std::string& path) {
  if (::setenv("MERIDEX_REGISTRY", path.c_str(), 1) != 0) return false;
  ReloadRegistryFile();
  return true;
}

long OpenRegistryKeysForTesting() { return static_cast<long>(OpenRegistryKeyCount()); }
