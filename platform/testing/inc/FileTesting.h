#pragma once
// A file changed at the worst moment, as another process could change it.

#include <functional>

// Runs `action` once, inside the next file mapping this process creates, before the
// mapping takes the file's size. False where the file services are the system's own
// (Windows), which offer no such moment to a test.
[[nodiscard]] bool RunBeforeNextFileMappingForTesting(std::function<void()> action);
