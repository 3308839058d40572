#pragma once
// What tests share. Paths are written with forward slashes and start at "/": the Linux
// build takes them as they are, and under Wine they resolve through the Z: drive to the
// same Unix path, which is also what a native ODBC driver behind odbc32 receives.

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// A fresh directory below $MERIDEX_TEST_TMP (default /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

std::string Env(const char* name);  // empty when unset
void WriteFileBytes(const std::string& path, const std::string& bytes);
std::string ReadFileBytes(const std::string& path);
std::u16string Wide(const std::string& utf8);
std::string Narrow(const std::u16string& text);
std::string Lower(std::string text);  // ASCII letters only

}  // namespace testing_support
