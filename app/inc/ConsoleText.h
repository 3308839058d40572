#pragma once
// The run's console streams. Narrow and wide text go into one buffer per stream, so
// they keep their order; endl ends the line and flushes, as the run's messages expect.

#include <cstdint>
#include <string>
#include <string_view>

#include "Console.h"

class ConsoleText {
 public:
  explicit ConsoleText(ConsoleStream stream) : m_stream(stream) {}
  ~ConsoleText() { Flush(); }
  ConsoleText(const ConsoleText&) = delete;
  ConsoleText& operator=(const ConsoleText&) = delete;

  ConsoleText& operator<<(const char* text);
  ConsoleText& operator<<(std::u16string_view text);
  ConsoleText& operator<<(const char16_t* text);
  ConsoleText& operator<<(int64_t number);
  ConsoleText& operator<<(ConsoleText& (*manipulator)(ConsoleText&)) { return manipulator(*this); }

  void Flush();

 private:
  ConsoleStream m_stream;
  std::string m_buffer;
};

// Ends the line and flushes.
ConsoleText& endl(ConsoleText& stream);
