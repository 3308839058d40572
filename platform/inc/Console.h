#pragma once
// The console as the run sees it: two output streams, one input line, and a pause.
// Text reaches the platform as UTF-8. On Windows a real console gets it as Unicode and
// redirected output as UTF-8 bytes; on POSIX it is UTF-8 bytes either way.

#include <cstddef>
#include <string>
#include <string_view>

enum class ConsoleStream { Output, Error };

// The line end of text files and redirected console output: "\r\n" on Windows (the C
// runtime's text mode), "\n" elsewhere.
extern const char* const kTextLineEnd;

// Writes all of the bytes; false when the stream refused them (closed pipe, full disk).
// Each "\n" reaches the stream as kTextLineEnd.
bool ConsoleWriteUtf8(ConsoleStream stream, std::string_view utf8);
bool ConsoleIsTerminal(ConsoleStream stream);

// Reads one line up to a line feed (not included) from standard input. Returns false at
// end of input with nothing read. Reads byte by byte, so nothing past the line is taken.
bool ConsoleReadLine(std::string& line);

// The command processor's "pause": prints "Press any key to continue . . . ", waits for one
// key and ends the line. With standard input not a terminal it takes exactly one byte.
void ConsolePause();
