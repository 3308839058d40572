#include "FileTesting.h"

#include <utility>

#include "FileTestHooks.h"

bool RunBeforeNextFileMappingForTesting(std::function<void()> action) {
  RunBeforeNextMapping(std::move(action));
  return true;
}
