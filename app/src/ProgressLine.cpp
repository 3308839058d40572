#include "ProgressLine.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "Console.h"

namespace {

// The shorter forms of the line, after the whole one ("%d " and the label): the first
// that fits the terminal is shown.
constexpr const char* kShortForms[] = {"%d records", "%d"};

// The columns the line covers on the screen now; 0 when none is shown. One line at a
// time, read by the fault handler's last words too.
volatile std::sig_atomic_t g_shown = 0;

// Shows text (empty: nothing) where the line is. The cursor waits at the line's start, so
// that a terminal narrowed under the line, which wraps it onto further rows, still has the
// cursor on its first row: from there the terminal's erasing to the end of the screen
// takes every piece of it, and blanks cover what a console without that sequence shows.
void Show(std::string_view text, std::size_t room) {
  char line[96];
  const std::size_t shown = static_cast<std::size_t>(g_shown);
  const std::size_t blank = std::min(shown, room) > text.size() ? std::min(shown, room) - text.size() : 0;
  const std::string_view erase(kConsoleEraseBelow);
  if ((text.empty() && shown == 0) || 2 + erase.size() + text.size() + blank > sizeof line) return;
  std::size_t used = 0;
  line[used++] = '\r';
  std::memcpy(line + used, erase.data(), erase.size());
  used += erase.size();
  // An empty view may have no data at all, which memcpy must not be given.
  if (!text.empty()) std::memcpy(line + used, text.data(), text.size());
  used += text.size();
  std::memset(line + used, ' ', blank);
  used += blank;
  line[used++] = '\r';
  (void)ConsoleWriteUtf8(ConsoleStream::Error, std::string_view(line, used));
  g_shown = static_cast<std::sig_atomic_t>(text.size());
}

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
  Show(std::string_view(m_text, Compose(count, room)), room);
}

std::size_t CListingProgress::Room() {
  // One column is kept free: a line that fills the last one wraps on some terminals, and
  // every copy that wrapped would stay on the screen. 0: the terminal does not say.
  const std::size_t columns = ConsoleColumns(ConsoleStream::Error);
  return columns == 0 ? kLineChars : std::min(columns - 1, kLineChars);
}

std::size_t CListingProgress::Compose(int32_t count, std::size_t room) {
  const int whole = std::snprintf(m_text, sizeof m_text, "%d %s", static_cast<int>(count), m_label);
  if (whole > 0 && static_cast<std::size_t>(whole) <= room) return static_cast<std::size_t>(whole);
  for (const char* form : kShortForms) {
    const int n = std::snprintf(m_text, sizeof m_text, form, static_cast<int>(count));
    if (n > 0 && static_cast<std::size_t>(n) <= room) return static_cast<std::size_t>(n);
  }
  return 0;
}

void CListingProgress::Clear() {
  // Not held by a stopped terminal either: the line then stays until the next message,
  // which waits for the terminal anyway, erases it.
  if (g_shown != 0 && ConsoleCanTakeOutputNow(ConsoleStream::Error)) EraseProgressLine();
}

void EraseProgressLine() {
  if (g_shown != 0) Show(std::string_view(), SIZE_MAX);
}
