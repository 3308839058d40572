// Our _vsnwprintf on any UTF-16 format. Every argument is a pointer to a valid string,
// so a conversion that takes a string reads valid memory and one that takes an integer
// reads the pointer's bits: whatever the format, the formatter alone decides what happens.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "Win32Format.h"

namespace {

const char16_t kText[] = u"abc";

int Format(char16_t* buffer, size_t count, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = _vsnwprintf(buffer, count, format, args);
  va_end(args);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t count = data[0];
  std::u16string format((size - 1) / 2, u'\0');
  for (size_t i = 1; i + 1 < size; i += 2) format[(i - 1) / 2] = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  // A format cannot say how many arguments it was given: like every caller, the fuzzer
  // passes at least as many as the format could take ('%' and '*' each take at most one).
  size_t takes = 0;
  for (char16_t c : format) takes += (c == u'%' || c == u'*') ? 1 : 0;
  if (takes > 16) return 0;
  std::u16string buffer(count + 8, u'#');
  const int result = Format(buffer.data(), count, format.c_str(), kText, kText, kText, kText, kText, kText, kText, kText,
                            kText, kText, kText, kText, kText, kText, kText, kText);
  // Nothing is written past count, and a length that fits is what was written.
  for (size_t i = count; i < buffer.size(); ++i) {
    if (buffer[i] != u'#') __builtin_trap();
  }
  if (result > static_cast<int>(count)) __builtin_trap();
  return 0;
}
