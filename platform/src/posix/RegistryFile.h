#pragma once
// The registry as a .reg file describes it: five root keys, each a tree of named keys with
// named values. Built once by ParseRegistryFile, then only read.

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Win32Types.h"

// Names compare as the registry compares them: letters without regard to case (ASCII and
// the letters of the Latin, Greek and Cyrillic alphabets), everything else, accents
// included, as it is.
char16_t FoldRegistryCase(char16_t c);

struct RegistryNameLess {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const;
};

struct CRegistryValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct CRegistryNode {
  std::map<std::u16string, std::unique_ptr<CRegistryNode>, RegistryNameLess> subKeys;
  std::map<std::u16string, CRegistryValue, RegistryNameLess> values;
};

// The root keys a file may name, in the order of their predefined handle values.
enum class RegistryRoot : std::size_t { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };
constexpr std::size_t kRegistryRootCount = 5;

struct CRegistryHive {
  std::array<CRegistryNode, kRegistryRootCount> roots;
  CRegistryNode& Root(RegistryRoot root) { return roots[static_cast<std::size_t>(root)]; }
  const CRegistryNode& Root(RegistryRoot root) const { return roots[static_cast<std::size_t>(root)]; }
};

// Where and why a file was refused. line is 1-based; 0 when the fault is not on one line.
struct CRegistryFileError {
  unsigned line = 0;
  std::string reason;
};

// The two steps of ParseRegistryFile, for a caller that lets go of the file's bytes once
// they are decoded, so that the two copies are not held together with the tree.
[[nodiscard]] bool DecodeRegistryFile(std::string_view bytes, std::u16string& text, CRegistryFileError& error);
[[nodiscard]] bool ParseRegistryText(std::u16string_view text, CRegistryHive& hive, CRegistryFileError& error);

// Reads a whole file: UTF-16LE with its byte order mark, or UTF-8 with or without one;
// the "Windows Registry Editor Version 5.00" or the "REGEDIT4" format. On failure hive
// holds whatever was read before the fault and must not be used.
[[nodiscard]] bool ParseRegistryFile(std::string_view bytes, CRegistryHive& hive, CRegistryFileError& error);
