#pragma once
// What the tests may ask of the file services that the tool never does (see
// platform/testing's FileTesting.h, the only caller).

#include <functional>

// Runs `action` once, at the start of the next CreateFileMappingW, before the section
// takes the file's size: where another process could change the file after a caller
// looked at it and before it was mapped.
void RunBeforeNextMapping(std::function<void()> action);
