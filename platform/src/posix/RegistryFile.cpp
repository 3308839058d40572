#include "RegistryFile.h"

#include <algorithm>
#include <cstdint>

#include "WideText.h"

namespace {

constexpr std::u16string_view kUnicodeHeader = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kAnsiHeader = u"REGEDIT4";

// Windows refuses keys nested deeper than this; holding to it also bounds the recursion
// that takes a tree apart.
constexpr std::size_t kMaxKeyDepth = 512;

struct SRootName {
  std::u16string_view name;
  RegistryRoot root;
};

constexpr SRootName kRootNames[] = {
    {u"HKEY_CLASSES_ROOT", RegistryRoot::ClassesRoot},
    {u"HKEY_CURRENT_USER", RegistryRoot::CurrentUser},
    {u"HKEY_LOCAL_MACHINE", RegistryRoot::LocalMachine},
    {u"HKEY_USERS", RegistryRoot::Users},
    {u"HKEY_CURRENT_CONFIG", RegistryRoot::CurrentConfig},
};

enum class State {
  Header,            // the first line: which of the two formats the file is in
  LineStart,         // a line begins: a key, a value, a comment or nothing
  KeyName,           // after "[": a key to make current, or with "[-" one to remove
  ValueName,         // after the opening quote of a value's name
  DefaultValueName,  // after "@": the key's unnamed value
  DataStart,         // after the name: "=" and the prefix that says what data follows
  StringData,        // after the opening quote of a text value
  DwordData,         // after "dword:": one to eight hex digits
  HexType,           // after "hex(": the type number, then "):"
  HexData,           // comma-separated hex bytes, maybe continued on the next lines
  HexContinuation,   // a new line that goes on with the bytes of the line before
  DeleteValue,       // after "=-": the value is removed
  SetValue,          // the value read is stored in the current key
  LineEnd,           // only blanks or a comment may follow on this line
  Done,
  Failed,
};

// What may follow "=": each prefix leads to the state that reads its data.
struct SDataPrefix {
  std::u16string_view text;
  State next;
  DWORD type;
};

constexpr SDataPrefix kDataPrefixes[] = {
    {u"\"", State::StringData, REG_SZ},
    {u"dword:", State::DwordData, REG_DWORD},
    {u"hex:", State::HexData, REG_BINARY},
    {u"hex(", State::HexType, REG_NONE},
    {u"-", State::DeleteValue, REG_NONE},
};

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

void AppendUtf16Le(std::vector<BYTE>& out, std::u16string_view text) {
  for (char16_t c : text) {
    out.push_back(static_cast<BYTE>(c & 0xFF));
    out.push_back(static_cast<BYTE>(c >> 8));
  }
}

// The number of the line that the end of text is on, line ends being CR LF, LF or CR.
unsigned LineAtEnd(std::u16string_view text) {
  unsigned line = 1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\r') {
      ++line;
      if (i + 1 < text.size() && text[i + 1] == u'\n') ++i;
    } else if (text[i] == u'\n') {
      ++line;
    }
  }
  return line;
}

// The encoding is decided once, from the first bytes: the UTF-16LE byte order mark, or
// UTF-8 with or without its own mark. UTF-16 is taken as 16-bit units as they stand.
bool DecodeFile(std::string_view bytes, std::u16string& text, CRegistryFileError& error) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
    text.clear();
    text.reserve((n - 2) / 2);
    for (std::size_t i = 2; i + 1 < n; i += 2) text.push_back(static_cast<char16_t>(b[i] | (b[i + 1] << 8)));
    if ((n - 2) % 2 != 0) {
      error = {LineAtEnd(text), "the file ends in the middle of a UTF-16 character"};
      return false;
    }
  } else if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
    error = {1, "the file is UTF-16 big-endian; only UTF-16LE and UTF-8 are read"};
    return false;
  } else if (n >= 2 && b[0] != 0 && b[1] == 0) {
    error = {1, "the file looks like UTF-16 without its byte order mark"};
    return false;
  } else {
    const bool mark = n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF;
    if (!DecodeUtf8Strict(bytes.substr(mark ? 3 : 0), text)) {
      error = {LineAtEnd(text), "the text is not valid UTF-8"};
      return false;
    }
  }
  const std::size_t nul = text.find(u'\0');
  if (nul != std::u16string::npos) {
    error = {LineAtEnd(std::u16string_view(text).substr(0, nul)), "the file holds a NUL character"};
    return false;
  }
  return true;
}

class CRegFileParser {
 public:
  CRegFileParser(std::u16string_view text, CRegistryHive& hive) : m_text(text), m_hive(hive) {}

  bool Run(CRegistryFileError& error) {
    State state = State::Header;
    while (state != State::Done && state != State::Failed) state = Step(state);
    if (state == State::Failed) {
      error = {m_line, m_reason};
      return false;
    }
    return true;
  }

 private:
  State Step(State state) {
    switch (state) {
      case State::Header: return OnHeader();
      case State::LineStart: return OnLineStart();
      case State::KeyName: return OnKeyName();
      case State::ValueName: return OnValueName();
      case State::DefaultValueName: return OnDefaultValueName();
      case State::DataStart: return OnDataStart();
      case State::StringData: return OnStringData();
      case State::DwordData: return OnDwordData();
      case State::HexType: return OnHexType();
      case State::HexData: return OnHexData();
      case State::HexContinuation: return OnHexContinuation();
      case State::DeleteValue: return OnDeleteValue();
      case State::SetValue: return OnSetValue();
      case State::LineEnd: return OnLineEnd();
      case State::Done:
      case State::Failed: break;
    }
    return state;
  }

  State OnHeader() {
    std::u16string_view line = RestOfLine();
    while (!line.empty() && (line.back() == u' ' || line.back() == u'\t')) line.remove_suffix(1);
    if (line == kUnicodeHeader) {
      m_ansi = false;
    } else if (line == kAnsiHeader) {
      m_ansi = true;
    } else {
      return Fail("the first line is neither \"Windows Registry Editor Version 5.00\" nor \"REGEDIT4\"");
    }
    SkipLine();
    return State::LineStart;
  }

  State OnLineStart() {
    if (AtEnd()) return State::Done;
    SkipBlanks();
    if (AtLineEnd() || Peek() == u';') {
      SkipLine();
      return State::LineStart;
    }
    switch (Peek()) {
      case u'[': ++m_pos; return State::KeyName;
      case u'"': ++m_pos; return State::ValueName;
      case u'@': ++m_pos; return State::DefaultValueName;
      default: return Fail("a line that is neither a key, a value nor a comment");
    }
  }

  State OnKeyName() {
    const bool remove = Consume(u"-");
    const std::u16string_view line = RestOfLine();
    const std::size_t close = line.rfind(u']');
    if (close == std::u16string_view::npos) return Fail("a key name without its closing \"]\"");
    const std::u16string_view path = line.substr(0, close);
    m_pos += close + 1;

    const std::size_t slash = path.find(u'\\');
    const std::u16string_view rootName = path.substr(0, slash);
    const SRootName* root = std::find_if(std::begin(kRootNames), std::end(kRootNames), [&](const SRootName& r) {
      return r.name.size() == rootName.size() &&
             std::equal(r.name.begin(), r.name.end(), rootName.begin(),
                        [](char16_t a, char16_t b) { return FoldRegistryCase(a) == FoldRegistryCase(b); });
    });
    if (root == std::end(kRootNames)) return Fail("a key that is not below one of the HKEY_ root keys");

    // Empty pieces (doubled or trailing backslashes) are passed over, as regedit does.
    std::vector<std::u16string_view> components;
    std::u16string_view rest = slash == std::u16string_view::npos ? std::u16string_view() : path.substr(slash + 1);
    while (!rest.empty()) {
      const std::size_t end = rest.find(u'\\');
      const std::u16string_view piece = rest.substr(0, end);
      if (!piece.empty()) components.push_back(piece);
      rest = end == std::u16string_view::npos ? std::u16string_view() : rest.substr(end + 1);
    }
    if (components.size() > kMaxKeyDepth) return Fail("a key nested deeper than 512 levels");

    CRegistryNode* node = &m_hive.Root(root->root);
    if (remove) {
      if (components.empty()) return Fail("a root key cannot be removed");
      for (std::size_t i = 0; i + 1 < components.size() && node != nullptr; ++i) {
        const auto found = node->subKeys.find(components[i]);
        node = found == node->subKeys.end() ? nullptr : found->second.get();
      }
      if (node != nullptr) {
        const auto found = node->subKeys.find(components.back());
        if (found != node->subKeys.end()) node->subKeys.erase(found);
      }
      m_key = nullptr;  // values after a removal have no key to go to
    } else {
      for (const std::u16string_view component : components) {
        auto found = node->subKeys.find(component);
        if (found == node->subKeys.end()) {
          found = node->subKeys.emplace(std::u16string(component), std::make_unique<CRegistryNode>()).first;
        }
        node = found->second.get();
      }
      m_key = node;
    }
    return State::LineEnd;
  }

  State OnValueName() {
    m_valueName.clear();
    if (!ReadQuoted([this](char16_t c) { m_valueName.push_back(c); })) return State::Failed;
    return State::DataStart;
  }

  State OnDefaultValueName() {
    m_valueName.clear();
    return State::DataStart;
  }

  State OnDataStart() {
    if (m_key == nullptr) return Fail("a value outside a key section");
    SkipBlanks();
    if (!Consume(u"=")) return Fail("a value name without \"=\" after it");
    SkipBlanks();
    for (const SDataPrefix& prefix : kDataPrefixes) {
      if (Consume(prefix.text)) {
        m_type = prefix.type;
        m_data.clear();
        return prefix.next;
      }
    }
    return Fail("data that is neither a string, dword:, hex:, hex(N): nor -");
  }

  // The text goes straight into the value's bytes: a long value is held once, not also
  // as a string on the way. The rest of the line bounds its length.
  State OnStringData() {
    m_data.reserve(2 * RestOfLine().size() + 2);
    if (!ReadQuoted([this](char16_t c) { AppendUtf16Le(m_data, std::u16string_view(&c, 1)); })) return State::Failed;
    AppendUtf16Le(m_data, std::u16string_view(u"\0", 1));
    return State::SetValue;
  }

  State OnDwordData() {
    SkipBlanks();
    uint32_t value = 0;
    int digits = 0;
    for (; HexDigitValue(Peek()) >= 0; ++m_pos, ++digits) {
      if (digits == 8) return Fail("a dword: of more than eight hex digits");
      value = (value << 4) | static_cast<uint32_t>(HexDigitValue(Peek()));
    }
    if (digits == 0) return Fail("a dword: without hex digits");
    for (int i = 0; i < 4; ++i) m_data.push_back(static_cast<BYTE>(value >> (8 * i)));
    return State::SetValue;
  }

  State OnHexType() {
    uint32_t type = 0;
    int digits = 0;
    for (; HexDigitValue(Peek()) >= 0; ++m_pos, ++digits) {
      if (digits == 8) return Fail("a hex(N): type of more than eight hex digits");
      type = (type << 4) | static_cast<uint32_t>(HexDigitValue(Peek()));
    }
    if (digits == 0 || !Consume(u"):")) return Fail("hex( without a hex type number and \"):\"");
    m_type = type;
    return State::HexData;
  }

  State OnHexData() {
    for (;;) {
      // Here a byte may come, or the end of the data (also after a trailing comma), or a
      // backslash that continues the bytes on the next line.
      SkipBlanks();
      if (AtLineEnd() || Peek() == u';') return FinishHex();
      if (Peek() == u'\\') {
        ++m_pos;
        SkipBlanks();
        if (!AtLineEnd()) return Fail("text after the \"\\\" that continues a line");
        SkipLine();
        return State::HexContinuation;
      }
      int high = HexDigitValue(Peek());
      if (high < 0) return Fail("a hex byte that is not one or two hex digits");
      ++m_pos;
      int value = high;
      if (HexDigitValue(Peek()) >= 0) {
        value = value * 16 + HexDigitValue(Peek());
        ++m_pos;
      }
      if (HexDigitValue(Peek()) >= 0) return Fail("a hex byte of more than two hex digits");
      m_data.push_back(static_cast<BYTE>(value));
      if (Consume(u",")) continue;
      SkipBlanks();
      if (AtLineEnd() || Peek() == u';') return FinishHex();
      return Fail("hex bytes that are not separated by commas");
    }
  }

  State OnHexContinuation() {
    if (AtEnd()) return Fail("the file ends where a continued value should go on");
    SkipBlanks();
    if (Peek() == u';') {  // regedit takes comment lines between continued lines
      SkipLine();
      return State::HexContinuation;
    }
    if (AtLineEnd()) return Fail("an empty line where a continued value should go on");
    return State::HexData;
  }

  State OnDeleteValue() {
    m_key->values.erase(m_valueName);
    return State::LineEnd;
  }

  State OnSetValue() {
    if (m_data.size() > UINT32_MAX) return Fail("a value larger than 4 GB");
    m_key->values.insert_or_assign(m_valueName, CRegistryValue{m_type, std::move(m_data)});
    m_data.clear();
    return State::LineEnd;
  }

  State OnLineEnd() {
    SkipBlanks();
    if (!AtLineEnd() && Peek() != u';') return Fail("unexpected text after the end of the entry");
    SkipLine();
    return State::LineStart;
  }

  // Text types given as bytes are stored the way regedit stores them: REGEDIT4 files give
  // 8-bit text, widened here to UTF-16; and a string that lacks its terminator gets one.
  State FinishHex() {
    if (IsStringType(m_type)) {
      if (m_ansi) {
        std::u16string wide;
        if (!DecodeUtf8Strict(std::string_view(reinterpret_cast<const char*>(m_data.data()), m_data.size()), wide)) {
          return Fail("hex text bytes that are not valid UTF-8");
        }
        m_data.clear();
        AppendUtf16Le(m_data, wide);
      }
      const std::size_t n = m_data.size();
      if (n >= 2 && n % 2 == 0 && (m_data[n - 2] != 0 || m_data[n - 1] != 0)) {
        m_data.push_back(0);
        m_data.push_back(0);
      }
    }
    return State::SetValue;
  }

  // Reads a quoted string whose opening quote is behind m_pos, up to its closing quote,
  // handing each character to put.
  template <typename Put>
  bool ReadQuoted(Put put) {
    for (;;) {
      if (AtLineEnd()) {
        Fail("a string without its closing quote");
        return false;
      }
      char16_t c = m_text[m_pos++];
      if (c == u'"') return true;
      if (c == u'\\') {
        switch (AtLineEnd() ? u'\0' : m_text[m_pos]) {
          case u'\\': c = u'\\'; break;
          case u'"': c = u'"'; break;
          case u'n': c = u'\n'; break;
          case u'r': c = u'\r'; break;
          default:
            Fail("a backslash in a string that is not one of \\\\, \\\", \\n or \\r");
            return false;
        }
        ++m_pos;
      }
      put(c);
    }
  }

  bool AtEnd() const { return m_pos >= m_text.size(); }
  bool AtLineEnd() const { return AtEnd() || m_text[m_pos] == u'\r' || m_text[m_pos] == u'\n'; }
  // The file holds no NUL (DecodeFile refuses one), so NUL can stand for "nothing more".
  char16_t Peek() const { return AtEnd() ? u'\0' : m_text[m_pos]; }

  std::u16string_view RestOfLine() const {
    std::size_t end = m_pos;
    while (end < m_text.size() && m_text[end] != u'\r' && m_text[end] != u'\n') ++end;
    return m_text.substr(m_pos, end - m_pos);
  }

  void SkipBlanks() {
    while (!AtEnd() && (m_text[m_pos] == u' ' || m_text[m_pos] == u'\t')) ++m_pos;
  }

  void SkipLine() {
    m_pos += RestOfLine().size();
    if (AtEnd()) return;
    if (m_text[m_pos++] == u'\r' && !AtEnd() && m_text[m_pos] == u'\n') ++m_pos;
    ++m_line;
  }

  bool Consume(std::u16string_view s) {
    if (m_text.substr(m_pos, s.size()) != s) return false;
    m_pos += s.size();
    return true;
  }

  State Fail(const char* reason) {
    m_reason = reason;
    return State::Failed;
  }

  std::u16string_view m_text;
  std::size_t m_pos = 0;
  unsigned m_line = 1;
  CRegistryHive& m_hive;
  bool m_ansi = false;
  CRegistryNode* m_key = nullptr;
  std::u16string m_valueName;
  DWORD m_type = REG_NONE;
  std::vector<BYTE> m_data;
  std::string m_reason;
};

}  // namespace

char16_t FoldRegistryCase(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  // Latin Extended-A pairs each capital with the small letter after it; the runs differ in
  // which of the two sits on the even code point. Dotless i and the like fold to nothing.
  if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) {
    return static_cast<char16_t>(c & ~1u);
  }
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) {
    return (c & 1u) ? c : static_cast<char16_t>(c - 1);
  }
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
  if (c == 0x3C2) return 0x3A3;  // final sigma
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return static_cast<char16_t>(c - 0x25);
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return static_cast<char16_t>(c - 0x3F);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F)) {
    return static_cast<char16_t>(c & ~1u);
  }
  if (c >= 0x4C1 && c <= 0x4CE) return (c & 1u) ? c : static_cast<char16_t>(c - 1);
  if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 0x20);
  return c;
}

bool RegistryNameLess::operator()(std::u16string_view a, std::u16string_view b) const {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t x = FoldRegistryCase(a[i]);
    const char16_t y = FoldRegistryCase(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

bool DecodeRegistryFile(std::string_view bytes, std::u16string& text, CRegistryFileError& error) {
  return DecodeFile(bytes, text, error);
}

bool ParseRegistryText(std::u16string_view text, CRegistryHive& hive, CRegistryFileError& error) {
  return CRegFileParser(text, hive).Run(error);
}

bool ParseRegistryFile(std::string_view bytes, CRegistryHive& hive, CRegistryFileError& error) {
  std::u16string text;
  return DecodeRegistryFile(bytes, text, error) && ParseRegistryText(text, hive, error);
}
