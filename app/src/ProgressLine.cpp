#include "ProgressLine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "Console.h"

namespace {

// The shorter forms of the line, after the whole one ("%d " and the label): the first
// that fits the terminal is shown.
constexpr const char* kShortForms[] = {"%d records", "%d"};

}  // namespace

CListingProgress::CListingProgress(const char* label)
    : m_label(label), m_enabled(ConsoleIsTerminal(ConsoleStream::Error)), m_last(Clock::now()) {}

void CListingProgress::Row(int32_t count) {
  // The clock is read once per thousand rows, so the listing does not pay for it.
  if (!m_enabled || (count & 1023) != 0) return;
  const auto now = Clock::now();
  if (now - m_last < std::chrono::milliseconds(250)) return;
  m_last = now;
  // A stopped terminal (Ctrl+S) would hold the write, and with it the listing and the
  // read it keeps open on the table: the count waits for a terminal that takes it.
  if (!ConsoleCanTakeOutputNow(ConsoleStream::Error)) return;
  const std::size_t room = Room();
  std::size_t length = Compose(count, room);
  // What is left of a longer line before is blanked, as far as the terminal is wide.
  const std::size_t blank = std::min(m_shown, room) > length ? std::min(m_shown, room) - length : 0;
  std::memset(m_line + 1 + length, ' ', blank);
  length += blank;
  if (length == 0) return;
  (void)ConsoleWriteUtf8(ConsoleStream::Error, std::string_view(m_line, length + 1));
  m_shown = length;
}

std::size_t CListingProgress::Room() {
  // One column is kept free: a line that fills the last one wraps on some terminals, and
  // every copy that wrapped would stay on the screen. 0: the terminal does not say.
  const std::size_t columns = ConsoleColumns(ConsoleStream::Error);
  return columns == 0 ? kLineChars : std::min(columns - 1, kLineChars);
}

std::size_t CListingProgress::Compose(int32_t count, std::size_t room) {
  m_line[0] = '\r';
  const int whole = std::snprintf(m_line + 1, kLineChars + 1, "%d %s", static_cast<int>(count), m_label);
  if (whole > 0 && static_cast<std::size_t>(whole) <= room) return static_cast<std::size_t>(whole);
  for (const char* form : kShortForms) {
    const int n = std::snprintf(m_line + 1, kLineChars + 1, form, static_cast<int>(count));
    if (n > 0 && static_cast<std::size_t>(n) <= room) return static_cast<std::size_t>(n);
  }
  return 0;
}

void CListingProgress::Clear() {
  if (m_shown == 0) return;
  m_line[0] = '\r';
  std::memset(m_line + 1, ' ', m_shown);
  m_line[m_shown + 1] = '\r';
  // Not held by a stopped terminal either: the count then stays above what follows,
  // which waits for the terminal anyway.
  if (ConsoleCanTakeOutputNow(ConsoleStream::Error)) {
    (void)ConsoleWriteUtf8(ConsoleStream::Error, std::string_view(m_line, m_shown + 2));
  }
  m_shown = 0;
}
