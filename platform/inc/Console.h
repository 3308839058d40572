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

// On a terminal, erases from the cursor to the end of the screen: a line that is redrawn
// from its start takes with it what is left of a longer one before, also where a
// narrowed terminal has wrapped that onto further rows. Empty where the console takes no
// such sequence (a Windows console), which blanks must do with.
extern const char* const kConsoleEraseBelow;

// The longest answer line that is read; a longer one is cut there and the rest is left
// unread (discarded, on a terminal), so endless input cannot grow the process.
constexpr std::size_t kConsoleLineLimit = 4096;

// Called first of all, before anything opens a file or a connection. On POSIX a standard
// descriptor that is closed is opened on /dev/null, so that no socket or file the run
// opens later becomes its standard input or output; and a closed pipe or a file-size
// limit makes a write fail instead of ending the process, as on Windows.
void ConsolePrepareProcess();

// Writes all of the bytes; false when the stream refused them (closed pipe, full disk).
// Each "\n" reaches the stream as kTextLineEnd.
bool ConsoleWriteUtf8(ConsoleStream stream, std::string_view utf8);
bool ConsoleIsTerminal(ConsoleStream stream);

// On a terminal, discards what was typed and not yet read; called before a question is
// shown, so that the answer is what the operator typed after seeing it. Nothing on
// redirected input, which is read as it is.
void ConsoleDiscardTypeAhead();

// Reads one line up to a line feed (not included), of at most kConsoleLineLimit bytes.
// A CR before the line feed or at the end of input is dropped. Returns false at end of
// input with nothing read. Reads byte by byte, so nothing past the line is taken from
// redirected input; on a terminal what was typed or pasted after the line is discarded,
// so that the shell does not run it once the tool has gone.
bool ConsoleReadLine(std::string& line);

// The width of the terminal that stream shows on, in columns; 0 when it is not a terminal
// or does not say.
std::size_t ConsoleColumns(ConsoleStream stream);

// True when stream takes a short write now, without waiting: on POSIX a terminal stopped
// with Ctrl+S (XOFF) holds every write until Ctrl+Q, and a Windows console holds it while
// the operator selects text in it (QuickEdit). For output that may be left out, such as a
// progress line, which must never hold the run.
bool ConsoleCanTakeOutputNow(ConsoleStream stream);

// The command processor's "pause": prints "Press any key to continue . . . ", waits for one
// key and ends the line. On a terminal the whole key is taken (an escape sequence, a
// multi-byte character, a paste). With standard input not a terminal it takes exactly
// one byte.
void ConsolePause();
