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
// A console takes escape sequences only in the mode that asks for them, which the run
// does not set: blanks erase instead.
const char* const kConsoleEraseBelow = "";

// Windows has no signal for a closed pipe, and a closed standard handle is simply absent:
// a write to either fails, which is all the run needs.
void ConsolePrepareProcess() {}

bool ConsoleWriteUtf8(ConsoleStream stream, std::string_view utf8) {
  HANDLE h = Handle(stream);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return false;
  // The text goes through a buffer on the stack, a piece at a time, never the heap: the
  // last words of a run may be that memory ran out.
  if (IsConsole(h)) {
    // A real console shows Unicode only through WriteConsoleW. Pieces end before a UTF-8
    // continuation byte, so that no character is split between two of them.
    wchar_t wide[4096];
    while (!utf8.empty()) {
      std::size_t take = utf8.size() < 4096 ? utf8.size() : 4096;
      while (take < utf8.size() && take > 1 && (static_cast<unsigned char>(utf8[take]) & 0xC0) == 0x80) --take;
      const int units = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(take), wide, 4096);
      if (units <= 0) return false;
      const wchar_t* p = wide;
      DWORD left = static_cast<DWORD>(units);
      while (left > 0) {
        DWORD written = 0;
        if (!::WriteConsoleW(h, p, left, &written, nullptr) || written == 0) return false;
        p += written;
        left -= written;
      }
      utf8.remove_prefix(take);
    }
    return true;
  }
  // Redirected output gets the text-mode line ends the C runtime would write.
  char text[8192];
  std::size_t used = 0;
  const auto flush = [&]() {
    const char* p = text;
    while (used > 0) {
      DWORD written = 0;
      if (!::WriteFile(h, p, static_cast<DWORD>(used), &written, nullptr) || written == 0) return false;
      p += written;
      used -= written;
    }
    return true;
  };
  for (char c : utf8) {
    if (used + 2 > sizeof text && !flush()) return false;
    if (c == '\n') text[used++] = '\r';
    text[used++] = c;
  }
  return flush();
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

// NOTE: a console paused by a selection (QuickEdit: a click in the window) holds
// WriteConsoleW until the selection ends, and GetConsoleSelectionInfo tells whether one
// is under way. Wine 8 does not export it, and has no selection to hold a write: there
// the answer is yes. The console's Pause key holds writes too, and no call tells of it.
bool ConsoleCanTakeOutputNow(ConsoleStream stream) {
  using SelectionInfo = BOOL(WINAPI*)(PCONSOLE_SELECTION_INFO);
  static const auto getSelection = reinterpret_cast<SelectionInfo>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetConsoleSelectionInfo")));
  CONSOLE_SELECTION_INFO selection = {};
  return !IsConsole(Handle(stream)) || getSelection == nullptr || !getSelection(&selection) ||
         (selection.dwFlags & CONSOLE_SELECTION_IN_PROGRESS) == 0;
}

void ConsolePause() { std::system("pause"); }
