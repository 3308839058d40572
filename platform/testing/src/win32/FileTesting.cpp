#include "FileTesting.h"

bool RunBeforeNextFileMappingForTesting(std::function<void()>) { return false; }
