#include "SameFile.h"

#include <sys/stat.h>

#include <string>

#include "WideText.h"

namespace {

bool Identify(const char16_t* path, struct stat& info) {
  const std::u16string_view text(path);
  // A path holding an unpaired surrogate has no UTF-8 form (the conversion would put
  // U+FFFD there, another name): it names no file.
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      ++i;
    } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
      return false;
    }
  }
  return ::stat(ToUtf8(text).c_str(), &info) == 0;
}

}  // namespace

bool IsSameFile(const char16_t* first, const char16_t* second) {
  struct stat a {};
  struct stat b {};
  return Identify(first, a) && Identify(second, b) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
