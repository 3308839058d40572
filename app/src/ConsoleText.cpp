#include "ConsoleText.h"

#include "VisibleText.h"

CConsoleText& CConsoleText::operator<<(const char* text) {
  if (text != nullptr) m_buffer += text;
  return *this;
}

CConsoleText& CConsoleText::operator<<(std::u16string_view text) {
  AppendVisibleMessage(m_buffer, text);
  return *this;
}

CConsoleText& CConsoleText::operator<<(const char16_t* text) {
  return *this << std::u16string_view(text != nullptr ? text : u"");
}

CConsoleText& CConsoleText::operator<<(int64_t number) {
  m_buffer += std::to_string(number);
  return *this;
}

void CConsoleText::Flush() {
  if (m_buffer.empty()) return;
  // A console that refuses output (a closed pipe) must not stop the run: what it does
  // next does not depend on being seen.
  (void)ConsoleWriteUtf8(m_stream, m_buffer);
  m_buffer.clear();
}

CConsoleText& endl(CConsoleText& stream) {
  stream << "\n";
  stream.Flush();
  return stream;
}
