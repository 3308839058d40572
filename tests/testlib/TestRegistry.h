#pragma once
// Registry content for one test, written as .reg text and imported for either build (see
// RegistryTesting.h): on Linux the file is the registry, under Wine regedit merges it in.
// Every import first removes the test's key, so both builds start from the same nothing.

#include <string>
#include <string_view>

#include "TestSupport.h"

namespace testing_support {

// A .reg file as Windows' registry editor exports it: UTF-16LE with its byte order mark
// and CR LF line ends. text is given with LF line ends.
std::string Utf16LeFile(std::u16string_view text);

// Makes a file readable and writable by its owner alone, and its directory writable by
// its owner alone: what the Linux build asks of a registry file.
void RestrictToOwner(const std::string& file);

class TestRegistry {
 public:
  // key: the full name of the test's own key, e.g. "HKEY_LOCAL_MACHINE\SOFTWARE\Talvora".
  explicit TestRegistry(std::u16string key);
  ~TestRegistry();  // removes the key again
  TestRegistry(const TestRegistry&) = delete;
  TestRegistry& operator=(const TestRegistry&) = delete;

  // Imports a "Windows Registry Editor Version 5.00" export: the removal of the key, then
  // body (LF line ends).
  [[nodiscard]] bool Load(std::u16string_view body);
  // Removes the key, then imports a file of exactly these bytes.
  [[nodiscard]] bool LoadFile(const std::string& bytes);
  // Writes bytes to a new file in the test's directory; returns its path.
  std::string Write(const std::string& bytes);

 private:
  [[nodiscard]] bool Remove();

  TempDir m_dir;
  std::u16string m_key;
  unsigned m_files = 0;
};

}  // namespace testing_support
