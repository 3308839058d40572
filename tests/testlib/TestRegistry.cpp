#include "TestRegistry.h"

#include <filesystem>

#include "RegistryTesting.h"

namespace testing_support {

namespace {
constexpr std::u16string_view kHeader = u"Windows Registry Editor Version 5.00\n\n";
}

std::string Utf16LeFile(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  auto put = [&bytes](char16_t c) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  };
  for (char16_t c : text) {
    if (c == u'\n') put(u'\r');
    put(c);
  }
  return bytes;
}

TestRegistry::TestRegistry(std::u16string key) : m_key(std::move(key)) {}

TestRegistry::~TestRegistry() { (void)Remove(); }

bool TestRegistry::Load(std::u16string_view body) {
  std::u16string text(kHeader);
  text += u"[-" + m_key + u"]\n\n";
  text += body;
  return ImportRegistryFileForTesting(Write(Utf16LeFile(text)));
}

bool TestRegistry::LoadFile(const std::string& bytes) {
  return Remove() && ImportRegistryFileForTesting(Write(bytes));
}

std::string TestRegistry::Write(const std::string& bytes) {
  const std::string path = m_dir.File("registry-" + std::to_string(++m_files) + ".reg");
  WriteFileBytes(path, bytes);
  RestrictToOwner(path);
  return path;
}

void RestrictToOwner(const std::string& file) {
  // The Linux build trusts a registry file only when nobody but its owner can change it
  // or its directory, whatever the umask of the one who runs the tests. (Under Windows
  // these are the file attributes, and only the registry editor reads the file.)
  namespace fs = std::filesystem;
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  fs::permissions(fs::path(file).parent_path(), fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
}

bool TestRegistry::Remove() {
  std::u16string text(kHeader);
  text += u"[-" + m_key + u"]\n";
  return ImportRegistryFileForTesting(Write(Utf16LeFile(text)));
}

}  // namespace testing_support
