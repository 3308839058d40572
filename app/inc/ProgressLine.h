#pragma once
// While rows are read and standard error is a terminal, one line that counts them: the
// count, then the label ("records listed...", "records checked..."). Nothing at all when
// standard error is redirected: transcripts stay exact.

#include <chrono>
#include <cstddef>
#include <cstdint>

class CListingProgress {
 public:
  // label must outlive the object (a literal).
  explicit CListingProgress(const char* label);
  CListingProgress(const CListingProgress&) = delete;
  CListingProgress& operator=(const CListingProgress&) = delete;

  // Called once per row with the rows counted so far; shows the count now and then.
  void Row(int32_t count);
  // Erases the line before the next message. A terminal that cannot take it now (stopped
  // with Ctrl+S) keeps the line until EraseProgressLine, which the next message calls.
  void Clear();

 private:
  using Clock = std::chrono::steady_clock;
  // The longest line shown, in characters (all ASCII, so columns too).
  static constexpr std::size_t kLineChars = 46;

  // The columns the line may take on the terminal now, at most kLineChars.
  static std::size_t Room();
  // Puts the longest form of the line that fits room into m_text; returns its
  // characters, 0 when no form fits.
  std::size_t Compose(int32_t count, std::size_t room);

  const char* m_label;
  bool m_enabled;
  Clock::time_point m_last;
  char m_text[kLineChars + 1] = {};
};

// Erases the progress line if one is on the screen, waiting for the terminal if it must:
// nothing else may be written after a count on its line. Async-signal-safe, for the last
// words of a fault.
void EraseProgressLine();
