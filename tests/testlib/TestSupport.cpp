#include "TestSupport.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "WideText.h"

namespace testing_support {

namespace {
std::atomic<unsigned> g_counter{0};
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

TempDir::TempDir() {
  std::string base = Env("MERIDEX_TEST_TMP");
  if (base.empty()) base = "/tmp";
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::ostringstream name;
    name << base << "/meridex-test-" << stamp << "-" << g_counter++;
    std::error_code ec;
    if (std::filesystem::create_directories(name.str(), ec) && !ec) {
      m_path = name.str();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory under " + base);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::u16string Wide(const std::string& utf8) { return FromUtf8(utf8); }
std::string Narrow(const std::u16string& text) { return ToUtf8(text); }

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace testing_support
