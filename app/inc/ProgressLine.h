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
  // Erases the line before the next message.
  void Clear();

 private:
  using Clock = std::chrono::steady_clock;
  const char* m_label;
  bool m_enabled;
  Clock::time_point m_last;
  // "\r", the count line, and room for the "\r" that ends its blanking.
  char m_line[48] = {};
  std::size_t m_length = 0;
};
