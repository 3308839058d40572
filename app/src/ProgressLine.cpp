#include "ProgressLine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "Console.h"

CListingProgress::CListingProgress(const char* label)
    : m_label(label), m_enabled(ConsoleIsTerminal(ConsoleStream::Error)), m_last(Clock::now()) {}

void CListingProgress::Row(int32_t count) {
  // The clock is read once per thousand rows, so the listing does not pay for it.
  if (!m_enabled || (count & 1023) != 0) return;
  const auto now = Clock::now();
  if (now - m_last < std::chrono::milliseconds(250)) return;
  m_last = now;
  const int n = std::snprintf(m_line, sizeof m_line, "\r%d %s", static_cast<int>(count), m_label);
  m_length = n > 0 ? std::min(static_cast<std::size_t>(n), sizeof m_line - 1) : 0;
  (void)ConsoleWriteUtf8(ConsoleStream::Error, std::string_view(m_line, m_length));
}

void CListingProgress::Clear() {
  if (m_length == 0) return;
  std::memset(m_line + 1, ' ', m_length - 1);
  m_line[m_length] = '\r';
  (void)ConsoleWriteUtf8(ConsoleStream::Error, std::string_view(m_line, m_length + 1));
  m_length = 0;
}
