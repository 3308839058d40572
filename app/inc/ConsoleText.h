#pragma once
// The run's console streams. Narrow and wide text go into one buffer per stream, so
// they keep their order; endl ends the line and flushes, as the run's messages expect.
// The tool's own words are narrow literals; wide text comes from outside (a driver's or
// the driver manager's message, a value read from the registry or the database) and is
// written in the visible notation for messages (VisibleText.h), so that nothing it holds
// can break the line, move the cursor or hide what follows. Narrow text from outside goes
// in as VisibleBytes() of it.

#include <cstdint>
#include <string>
#include <string_view>

#include "Console.h"

class CConsoleText {
 public:
  explicit CConsoleText(ConsoleStream stream) : m_stream(stream) {}
  ~CConsoleText() { Flush(); }
  CConsoleText(const CConsoleText&) = delete;
  CConsoleText& operator=(const CConsoleText&) = delete;

  CConsoleText& operator<<(const char* text);
  CConsoleText& operator<<(std::u16string_view text);
  CConsoleText& operator<<(const char16_t* text);
  CConsoleText& operator<<(int64_t number);
  CConsoleText& operator<<(CConsoleText& (*manipulator)(CConsoleText&)) { return manipulator(*this); }

  void Flush();
  // Drops what is not yet written, and the memory that held it.
  void Discard() { std::string().swap(m_buffer); }

 private:
  ConsoleStream m_stream;
  std::string m_buffer;
};

// Ends the line and flushes.
CConsoleText& endl(CConsoleText& stream);
