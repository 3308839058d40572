#include "Console.h"

#include <cstdlib>

#include "../common/ConsoleLine.h"
#include "WideText.h"
#include "Win32Types.h"

namespace {

HANDLE Handle(ConsoleStream stream) {
  return ::GetStdHandle(stream == ConsoleStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool IsConsole(HANDLE h) {
  DWORD mode;
  return h != INVALID_HANDLE_VALUE && h != nullptr && ::GetConsoleMode(h, &mode) != 0;
}

}  // namespace

const char* const kTextLineEnd = "\r\n";

// Windows has no signal for a closed pipe, and a closed standard handle is simply absent:
// a write to either fails, which is all the run needs.
void ConsolePrepareProcess() {}

bool ConsoleWriteUtf8(ConsoleStream stream, std::string_view utf8) {
  HANDLE h = Handle(stream);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return false;
  if (IsConsole(h)) {
    // A real console shows Unicode only through WriteConsoleW.
    const std::u16string wide = FromUtf8(utf8);
    const auto* p = reinterpret_cast<const wchar_t*>(wide.data());
    std::size_t left = wide.size();
    while (left > 0) {
      DWORD written = 0;
      const DWORD chunk = left > 16384 ? 16384 : static_cast<DWORD>(left);
      if (!::WriteConsoleW(h, p, chunk, &written, nullptr) || written == 0) return false;
      p += written;
      left -= written;
    }
    return true;
  }
  // Redirected output gets the text-mode line ends the C runtime would write.
  std::string text;
  text.reserve(utf8.size() + 16);
  for (char c : utf8) {
    if (c == '\n') text.push_back('\r');
    text.push_back(c);
  }
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    DWORD written = 0;
    const DWORD chunk = left > (1u << 20) ? (1u << 20) : static_cast<DWORD>(left);
    if (!::WriteFile(h, p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    left -= written;
  }
  return true;
}

bool ConsoleIsTerminal(ConsoleStream stream) { return IsConsole(Handle(stream)); }

void ConsoleDiscardTypeAhead() {
  HANDLE h = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode;
  if (h != INVALID_HANDLE_VALUE && h != nullptr && ::GetConsoleMode(h, &mode)) ::FlushConsoleInputBuffer(h);
}

bool ConsoleReadLine(std::string& line) {
  HANDLE h = ::GetStdHandle(STD_INPUT_HANDLE);
  const bool read = ReadAnswerLine(line, [h](char& c) {
    DWORD read = 0;
    return ::ReadFile(h, &c, 1, &read, nullptr) && read == 1;
  });
  // The further lines of a paste wait in the console's input as key events: they are
  // not the command processor's to run once the tool has gone.
  ConsoleDiscardTypeAhead();
  return read;
}

std::size_t ConsoleColumns(ConsoleStream stream) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!::GetConsoleScreenBufferInfo(Handle(stream), &info) || info.srWindow.Right < info.srWindow.Left) return 0;
  return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

// NOTE: a Windows console has no XOFF that a program can see: output paused by the
// console (its selection mode, the Pause key) holds WriteConsoleW, and no call tells
// whether it is paused. So the answer is always yes here. (Under Wine on a terminal,
// Ctrl+S stops Wine's console, and the progress line's write waits with it.)
bool ConsoleCanTakeOutputNow(ConsoleStream) { return true; }

void ConsolePause() { std::system("pause"); }
