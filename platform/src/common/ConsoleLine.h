#pragma once
// The answer line's rules, the same on both builds whatever reads the bytes.

#include <string>

#include "Console.h"

// Reads up to a line feed through readByte (false at end of input), keeping at most
// kConsoleLineLimit bytes: one byte more ends the reading, so what the line holds then
// can never be a short answer. A CR before the line feed or at the end of input is
// dropped, as the C runtime's text mode does on Windows.
template <typename ReadByte>
bool ReadAnswerLine(std::string& line, ReadByte readByte) {
  line.clear();
  bool any = false;
  char c;
  while (line.size() <= kConsoleLineLimit && readByte(c)) {
    any = true;
    if (c == '\n') break;
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r' && line.size() <= kConsoleLineLimit) line.pop_back();
  return any;
}
