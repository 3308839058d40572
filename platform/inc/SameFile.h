#pragma once
// Whether two paths lead to one file, as the file system identifies it (device and inode
// on POSIX, volume and file index on Windows): different spellings of one file's path
// (relative, through links, another letter case where the file system ignores it) are the
// same file; two files with equal contents are not.

// False when either path leads nowhere or cannot be asked about.
[[nodiscard]] bool IsSameFile(const char16_t* first, const char16_t* second);
