// The version resource of an arbitrary file: a hostile PE image must fail cleanly.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Win32Version.h"

namespace {

// The file each input is written to, one per process, removed when the fuzzer exits.
class CScratchFile {
 public:
  CScratchFile() : m_path("/tmp/meridex-fuzz-pe-" + std::to_string(getpid()) + ".bin") {}
  ~CScratchFile() { (void)std::remove(m_path.c_str()); }
  CScratchFile(const CScratchFile&) = delete;
  CScratchFile& operator=(const CScratchFile&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

const std::string& ScratchFile() {
  static const CScratchFile file;
  return file.Path();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = ScratchFile();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  std::u16string wide(path.begin(), path.end());
  DWORD handle = 0;
  const DWORD needed = GetFileVersionInfoSizeW(wide.c_str(), &handle);
  if (needed == 0 || needed > (1u << 24)) return 0;
  std::vector<uint8_t> block(needed);
  if (!GetFileVersionInfoW(wide.c_str(), 0, needed, block.data())) return 0;
  static const char16_t* kKeys[] = {u"\\",
                                    u"\\VarFileInfo",
                                    u"\\VarFileInfo\\Translation",
                                    u"\\StringFileInfo",
                                    u"\\StringFileInfo\\040904b0",
                                    u"\\StringFileInfo\\040904b0\\FileVersion"};
  for (const char16_t* key : kKeys) {
    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueW(block.data(), key, &value, &length) && length > 0) {
      // What it hands back lies inside the block: length is in bytes for binary values and
      // in characters for text, so it is never more bytes than the value has.
      const auto* p = static_cast<const uint8_t*>(value);
      if (p < block.data() || length > block.size() || p > block.data() + block.size() - length) __builtin_trap();
      volatile uint8_t sink = p[length - 1];
      (void)sink;
    }
  }
  return 0;
}
