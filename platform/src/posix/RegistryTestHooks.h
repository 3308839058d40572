#pragma once
// What the tests may ask of the registry file that the tool never does (see
// platform/testing's RegistryTesting.h, the only caller).

#include <cstddef>

// Forgets the file read, so that the next call reads $MERIDEX_REGISTRY again. Keys open at
// that moment go on answering from what they were opened on.
void ReloadRegistryFile();

// How many keys are open now, predefined keys not counted.
std::size_t OpenRegistryKeyCount();
