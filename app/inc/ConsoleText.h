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
  friend class CHeldConsoleText;
  ConsoleStream m_stream;
  std::string m_buffer;
  int m_held = 0;  // while above 0, Flush keeps the text
};

// While one lives, what the run writes on its streams is kept back, and written as it
// ends: a terminal stopped with Ctrl+S (or a Windows console paused by a selection) holds
// every write, and with it whatever the run holds on the database meanwhile (an open read,
// a transaction), for as long as the operator leaves it so. So the run first ends what
// holds others out, then speaks. Ended by an exception, it writes nothing: the text goes
// with the run's last words.
class CHeldConsoleText {
 public:
  CHeldConsoleText(CConsoleText& out, CConsoleText& err);
  ~CHeldConsoleText();
  CHeldConsoleText(const CHeldConsoleText&) = delete;
  CHeldConsoleText& operator=(const CHeldConsoleText&) = delete;

 private:
  CConsoleText& m_out;
  CConsoleText& m_err;
  int m_exceptions;
};

// Ends the line and flushes.
CConsoleText& endl(CConsoleText& stream);
