#include "ConsoleText.h"

#include "WideText.h"

ConsoleText& ConsoleText::operator<<(const char* text) {
  if (text != nullptr) m_buffer += text;
  return *this;
}

ConsoleText& ConsoleText::operator<<(std::u16string_view text) {
  AppendUtf8(m_buffer, text);
  return *this;
}

ConsoleText& ConsoleText::operator<<(const char16_t* text) {
  return *this << std::u16string_view(text != nullptr ? text : u"");
}

ConsoleText& ConsoleText::operator<<(int64_t number) {
  m_buffer += std::to_string(number);
  return *this;
}

void ConsoleText::Flush() {
  if (m_buffer.empty()) return;
  // A console that refuses output (a closed pipe) must not stop the run: what it does
  // next does not depend on being seen.
  (void)ConsoleWriteUtf8(m_stream, m_buffer);
  m_buffer.clear();
}

ConsoleText& endl(ConsoleText& stream) {
  stream << "\n";
  stream.Flush();
  return stream;
}
