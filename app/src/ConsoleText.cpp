#include "ConsoleText.h"

#include <exception>

#include "ProgressLine.h"
#include "VisibleText.h"
#include "WideText.h"

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
  if (m_buffer.empty() || m_held > 0) return;
  // A count on its line, which a stopped terminal kept there, goes first: nothing is
  // written after it on the same line.
  EraseProgressLine();
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

CHeldConsoleText::CHeldConsoleText(CConsoleText& out, CConsoleText& err)
    : m_out(out), m_err(err), m_exceptions(std::uncaught_exceptions()) {
  ++m_out.m_held;
  ++m_err.m_held;
}

CHeldConsoleText::~CHeldConsoleText() {
  --m_out.m_held;
  --m_err.m_held;
  if (std::uncaught_exceptions() > m_exceptions) return;
  m_out.Flush();
  m_err.Flush();
}
