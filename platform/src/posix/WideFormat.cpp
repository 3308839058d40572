#include <climits>
#include <cstdint>
#include <type_traits>

#include "Win32Format.h"

// One engine for _vsnwprintf (msvcrt's rules) and wsprintfW (user32's narrower grammar).
// It walks the format once, reads each argument as the type its directive names, and
// writes through a sink that stores what fits and counts the rest, so a huge width costs
// nothing past the buffer. Anything it does not know is refused outright rather than
// guessed at: a wrong guess would read the next argument as the wrong type.

namespace {

enum class Dialect { Msvcrt, User32 };

// Stores the characters that fit in [buffer, buffer + count) and counts all of them.
class CFormatSink {
 public:
  CFormatSink(char16_t* buffer, std::size_t count) : m_buffer(buffer), m_count(count) {}

  void Put(char16_t c) {
    if (m_length < m_count) m_buffer[m_length] = c;
    ++m_length;
  }

  void Repeat(char16_t c, std::size_t times) {
    const std::size_t room = m_length < m_count ? m_count - m_length : 0;
    const std::size_t stored = times < room ? times : room;
    for (std::size_t i = 0; i < stored; ++i) m_buffer[m_length + i] = c;
    m_length += times;
  }

  std::size_t Length() const { return m_length; }

 private:
  char16_t* m_buffer;
  std::size_t m_count;
  std::size_t m_length = 0;
};

// The argument list, copied so that the caller's list is consumed exactly as by the
// real function and released on every way out.
class CArguments {
 public:
  explicit CArguments(va_list args) { va_copy(m_args, args); }
  ~CArguments() { va_end(m_args); }
  CArguments(const CArguments&) = delete;
  CArguments& operator=(const CArguments&) = delete;

  int Int() { return va_arg(m_args, int); }
  long long LongLong() { return va_arg(m_args, long long); }
  const void* Pointer() { return va_arg(m_args, const void*); }

 private:
  va_list m_args;
};

enum class Size { None, Short, Long, Int32, Int64, PointerSized, Wide };

struct Directive {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool zero = false;
  bool alternate = false;
  int width = 0;
  int precision = -1;  // none given
  Size size = Size::None;
  char16_t conversion = 0;
  bool prefixOutsideWidth = false;
};

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Reads a decimal number; false when it does not fit an int.
bool ReadNumber(const char16_t*& p, int& value) {
  long long n = 0;
  while (IsDigit(*p)) {
    n = n * 10 + (*p - u'0');
    if (n > INT_MAX) return false;
    ++p;
  }
  value = static_cast<int>(n);
  return true;
}

bool ParseFlags(const char16_t*& p, Directive& directive, Dialect dialect) {
  if (dialect == Dialect::User32) {
    // user32 takes at most "-", "#", "0", in this order, and nothing else.
    if (*p == u'-') directive.left = true, ++p;
    if (*p == u'#') directive.alternate = true, ++p;
    if (*p == u'0') directive.zero = true, ++p;
    return *p != u'-' && *p != u'#' && *p != u'+' && *p != u' ' && *p != u'*';
  }
  for (;; ++p) {
    switch (*p) {
      case u'-': directive.left = true; break;
      case u'+': directive.plus = true; break;
      case u' ': directive.space = true; break;
      case u'0': directive.zero = true; break;
      case u'#': directive.alternate = true; break;
      default: return true;
    }
  }
}

bool ParseWidthAndPrecision(const char16_t*& p, Directive& directive, CArguments& args, Dialect dialect) {
  if (*p == u'*') {
    if (dialect == Dialect::User32) return false;
    ++p;
    int width = args.Int();
    if (width < 0) {
      // A negative width from the arguments means left-justified, as in C.
      if (width == INT_MIN) return false;
      directive.left = true;
      width = -width;
    }
    directive.width = width;
  } else if (!ReadNumber(p, directive.width)) {
    return false;
  }
  if (*p != u'.') return true;
  ++p;
  if (*p == u'*') {
    if (dialect == Dialect::User32) return false;
    ++p;
    const int precision = args.Int();
    directive.precision = precision < 0 ? -1 : precision;  // negative: as if none were given
    return true;
  }
  directive.precision = 0;
  return ReadNumber(p, directive.precision);
}

bool ParseSize(const char16_t*& p, Directive& directive, Dialect dialect) {
  switch (*p) {
    case u'h':
      ++p;
      if (*p == u'h') return false;  // msvcrt has no "hh"
      directive.size = Size::Short;
      return true;
    case u'l':
      ++p;
      if (*p == u'l') {
        if (dialect == Dialect::User32) return false;
        ++p;
        directive.size = Size::Int64;
      } else {
        directive.size = Size::Long;
      }
      return true;
    case u'w':
      ++p;
      directive.size = Size::Wide;
      return true;
    case u'I':
      ++p;
      if (p[0] == u'6' && p[1] == u'4') {
        p += 2;
        directive.size = Size::Int64;
      } else if (p[0] == u'3' && p[1] == u'2') {
        p += 2;
        directive.size = Size::Int32;
      } else {
        directive.size = Size::PointerSized;
      }
      return true;
    default:
      return true;
  }
}

void PutInteger(CFormatSink& sink, const Directive& directive, unsigned long long magnitude, char16_t sign,
                unsigned base, bool upper, bool hexPrefix) {
  const char16_t* digitSet = upper ? u"0123456789ABCDEF" : u"0123456789abcdef";
  char16_t digits[24];
  int count = 0;
  if (!(directive.precision == 0 && magnitude == 0)) {
    do {
      digits[count++] = digitSet[magnitude % base];
      magnitude /= base;
    } while (magnitude != 0);
  }
  std::size_t precisionZeros = directive.precision > count ? static_cast<std::size_t>(directive.precision - count) : 0;
  if (directive.alternate && base == 8 && precisionZeros == 0 && (count == 0 || digits[count - 1] != u'0')) {
    precisionZeros = 1;  // "#" in octal: the output starts with a 0
  }
  // user32 keeps the 0x outside the width: "%#8x" is eight columns of digits and spaces.
  const std::size_t prefixLength = (sign != 0 ? 1 : 0) + (hexPrefix && !directive.prefixOutsideWidth ? 2 : 0);
  const std::size_t bodyLength = prefixLength + precisionZeros + static_cast<std::size_t>(count);
  const std::size_t width = static_cast<std::size_t>(directive.width);
  const std::size_t padding = width > bodyLength ? width - bodyLength : 0;
  // "0" pads between the sign or 0x and the digits; a precision or "-" cancels it.
  const bool zeroPad = directive.zero && !directive.left && directive.precision < 0;

  if (!directive.left && !zeroPad) sink.Repeat(u' ', padding);
  if (sign != 0) sink.Put(sign);
  if (hexPrefix) {
    sink.Put(u'0');
    sink.Put(upper ? u'X' : u'x');
  }
  if (zeroPad) sink.Repeat(u'0', padding);
  sink.Repeat(u'0', precisionZeros);
  for (int i = count - 1; i >= 0; --i) sink.Put(digits[i]);
  if (directive.left) sink.Repeat(u' ', padding);
}

bool FormatInteger(CFormatSink& sink, const Directive& directive, CArguments& args) {
  const bool isSigned = directive.conversion == u'd' || directive.conversion == u'i';
  unsigned long long bits = 0;
  long long value = 0;
  switch (directive.size) {
    case Size::None:
    case Size::Long:  // Windows' long is 32 bits
    case Size::Int32: {
      const int v = args.Int();
      value = v;
      bits = static_cast<unsigned>(v);
      break;
    }
    case Size::Short: {
      const int v = args.Int();
      value = static_cast<short>(v);
      bits = static_cast<unsigned short>(v);
      break;
    }
    case Size::Int64:
    case Size::PointerSized: {
      value = args.LongLong();
      bits = static_cast<unsigned long long>(value);
      break;
    }
    case Size::Wide:
      return false;
  }

  char16_t sign = 0;
  unsigned long long magnitude = bits;
  if (isSigned) {
    if (value < 0) {
      sign = u'-';
      magnitude = 0ull - static_cast<unsigned long long>(value);
    } else {
      magnitude = static_cast<unsigned long long>(value);
      if (directive.plus) sign = u'+';
      else if (directive.space) sign = u' ';
    }
  }
  switch (directive.conversion) {
    case u'o':
      PutInteger(sink, directive, magnitude, 0, 8, false, false);
      break;
    case u'x':
    case u'X':
      PutInteger(sink, directive, magnitude, 0, 16, directive.conversion == u'X', directive.alternate && magnitude != 0);
      break;
    default:
      PutInteger(sink, directive, magnitude, sign, 10, false, false);
      break;
  }
  return true;
}

// Pads a piece of text of the given length to the width; the text itself is put by emit.
template <typename Emit>
void PutPadded(CFormatSink& sink, const Directive& directive, Dialect dialect, std::size_t length, Emit emit) {
  const std::size_t width = static_cast<std::size_t>(directive.width);
  const std::size_t padding = width > length ? width - length : 0;
  // msvcrt pads text with zeros too when asked to; user32 does not.
  const char16_t fill = directive.zero && !directive.left && dialect == Dialect::Msvcrt ? u'0' : u' ';
  if (!directive.left) sink.Repeat(fill, padding);
  emit();
  if (directive.left) sink.Repeat(u' ', padding);
}

// Narrow text is taken in the C runtime's default "C" locale: each byte is the code
// point of the same value.
template <typename Unit>
void PutString(CFormatSink& sink, const Directive& directive, Dialect dialect, const Unit* text) {
  static constexpr char kNull[] = "(null)";
  std::size_t length = 0;
  const std::size_t limit = directive.precision < 0 ? SIZE_MAX : static_cast<std::size_t>(directive.precision);
  if (text == nullptr) {
    const std::size_t nullLength = sizeof(kNull) - 1;
    length = nullLength < limit ? nullLength : limit;
    PutPadded(sink, directive, dialect, length, [&] {
      for (std::size_t i = 0; i < length; ++i) sink.Put(static_cast<char16_t>(kNull[i]));
    });
    return;
  }
  // Never looks past the precision: the text need not be terminated within it.
  while (length < limit && text[length] != 0) ++length;
  PutPadded(sink, directive, dialect, length, [&] {
    for (std::size_t i = 0; i < length; ++i) {
      sink.Put(static_cast<char16_t>(static_cast<std::make_unsigned_t<Unit>>(text[i])));
    }
  });
}

bool FormatOne(CFormatSink& sink, const Directive& directive, CArguments& args, Dialect dialect) {
  const Size size = directive.size;
  switch (directive.conversion) {
    case u'd':
    case u'i':
    case u'u':
    case u'x':
    case u'X':
      return FormatInteger(sink, directive, args);
    case u'o':
      if (dialect == Dialect::User32) return false;
      return FormatInteger(sink, directive, args);
    case u'c':
    case u'C': {
      bool narrow;
      if (directive.conversion == u'C') {
        if (size != Size::None) return false;
        narrow = true;
      } else if (size == Size::None || size == Size::Long || size == Size::Wide) {
        narrow = false;
      } else if (size == Size::Short) {
        narrow = true;
      } else {
        return false;
      }
      const int v = args.Int();
      const char16_t c = narrow ? static_cast<char16_t>(static_cast<unsigned char>(v)) : static_cast<char16_t>(v);
      PutPadded(sink, directive, dialect, 1, [&] { sink.Put(c); });
      return true;
    }
    case u's':
      if (size == Size::None || size == Size::Long || size == Size::Wide) {
        PutString(sink, directive, dialect, static_cast<const char16_t*>(args.Pointer()));
      } else if (size == Size::Short) {
        PutString(sink, directive, dialect, static_cast<const char*>(args.Pointer()));
      } else {
        return false;
      }
      return true;
    case u'S':
      if (size != Size::None) return false;
      PutString(sink, directive, dialect, static_cast<const char*>(args.Pointer()));
      return true;
    case u'p': {
      // A pointer prints as its 16 hexadecimal digits, as msvcrt does on x64.
      if (size != Size::None || directive.plus || directive.space) return false;
      Directive pointerSpec = directive;
      if (pointerSpec.precision < 0) pointerSpec.precision = 2 * static_cast<int>(sizeof(void*));
      const auto value = reinterpret_cast<std::uintptr_t>(args.Pointer());
      PutInteger(sink, pointerSpec, value, 0, 16, true, directive.alternate);
      return true;
    }
    default:
      // Floating point, %n, %Z and anything unknown.
      return false;
  }
}

// Formats the whole output into the sink; false when the format is refused.
bool Format(CFormatSink& sink, const char16_t* format, CArguments& args, Dialect dialect) {
  for (const char16_t* p = format; *p != 0;) {
    if (*p != u'%') {
      sink.Put(*p++);
      continue;
    }
    ++p;
    if (*p == u'%') {
      sink.Put(u'%');
      ++p;
      continue;
    }
    Directive directive;
    directive.prefixOutsideWidth = dialect == Dialect::User32;
    if (!ParseFlags(p, directive, dialect)) return false;
    if (!ParseWidthAndPrecision(p, directive, args, dialect)) return false;
    if (!ParseSize(p, directive, dialect)) return false;
    directive.conversion = *p;
    if (directive.conversion == 0) return false;  // the format ends inside a directive
    ++p;
    if (!FormatOne(sink, directive, args, dialect)) return false;
  }
  return true;
}

// A dry run over a copy of the arguments: a refused format, or an output too long for
// the int result, is known before a single character reaches the caller's buffer.
bool Measure(const char16_t* format, va_list args, Dialect dialect) {
  CFormatSink counter(nullptr, 0);
  CArguments arguments(args);
  return Format(counter, format, arguments, dialect) && counter.Length() <= static_cast<std::size_t>(INT_MAX);
}

// wsprintfW on an argument list.
int WsprintfV(char16_t* buffer, const char16_t* format, va_list args) {
  if (buffer == nullptr) return -1;
  if (format == nullptr) {
    buffer[0] = 0;
    return -1;
  }
  constexpr std::size_t kLimit = kWsprintfBufferCharacters - 1;
  if (!Measure(format, args, Dialect::User32)) {
    buffer[0] = 0;
    return -1;
  }
  CFormatSink sink(buffer, kLimit);
  CArguments arguments(args);
  (void)Format(sink, format, arguments, Dialect::User32);
  const std::size_t length = sink.Length();
  if (length < kLimit) {
    buffer[length] = 0;
    return static_cast<int>(length);
  }
  // As user32 does: reaching the last character counts as reaching the limit.
  buffer[kLimit] = 0;
  return kWsprintfBufferCharacters;
}

}  // namespace

int _vsnwprintf(char16_t* buffer, size_t count, const char16_t* format, va_list args) {
  if (format == nullptr || (buffer == nullptr && count > 0)) return -1;
  if (!Measure(format, args, Dialect::Msvcrt)) {
    if (count > 0) buffer[0] = 0;
    return -1;
  }
  CFormatSink sink(buffer, count);
  CArguments arguments(args);
  (void)Format(sink, format, arguments, Dialect::Msvcrt);
  const std::size_t length = sink.Length();
  if (length > count) return -1;
  if (length < count) buffer[length] = 0;
  return static_cast<int>(length);
}

int wsprintfW(char16_t* buffer, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = WsprintfV(buffer, format, args);
  va_end(args);
  return result;
}
