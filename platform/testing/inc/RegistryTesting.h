#pragma once
// Registry content for tests. A test writes a .reg file and brings it in here:
//   Linux:   the file becomes the whole registry ($MERIDEX_REGISTRY names it, and it is
//            read on the next registry call);
//   Windows: regedit imports it into the real registry (under Wine, the throwaway
//            prefix's), on top of what is there.
// A file that first removes the test's own key ("[-HKEY_...]") therefore leaves both
// builds with the same keys, and importing a file that only removes it cleans up.

#include <string>

// True once the file was handed over (Windows: regedit ran and reported success).
[[nodiscard]] bool ImportRegistryFileForTesting(const std::string& path);

// Where the registry is a file read by this tool, its format errors, its single reading
// and its table of open keys are ours to test; under Windows they belong to the system.
#ifdef _WIN32
inline constexpr bool kRegistryIsAFile = false;
#else
inline constexpr bool kRegistryIsAFile = true;
#endif

// Registry keys this process holds open, predefined keys not counted; -1 where the
// platform does not tell.
[[nodiscard]] long OpenRegistryKeysForTesting();
