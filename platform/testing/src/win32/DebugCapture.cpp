#include "DebugCapture.h"

#include <windows.h>

// OutputDebugStringW talks to a debugger by raising a continuable exception that carries
// the text. Newer Windows raise DBG_PRINTEXCEPTION_WIDE_C first and fall back to the
// narrow DBG_PRINTEXCEPTION_C only when nobody handled it; Wine 8 raises only the
// narrow one. Handling whichever comes first, and continuing, counts each call once.

namespace {

DebugCapture* g_active = nullptr;

template <typename Unit>
std::size_t BoundedLength(const Unit* text, ULONG_PTR limit) {
  std::size_t length = 0;
  while (length < limit && text[length] != 0) ++length;
  return length;
}

LONG CALLBACK OnDebugPrint(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (g_active == nullptr || record->NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
  // Parameter 0: the length with its terminator; parameter 1: the text.
  const ULONG_PTR limit = record->ExceptionInformation[0];
  if (record->ExceptionCode == DBG_PRINTEXCEPTION_WIDE_C) {
    const auto* text = reinterpret_cast<const char16_t*>(record->ExceptionInformation[1]);
    g_active->Add(std::u16string(text, BoundedLength(text, limit)));
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  if (record->ExceptionCode == DBG_PRINTEXCEPTION_C) {
    const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    const int length = static_cast<int>(BoundedLength(text, limit));
    std::u16string wide(static_cast<std::size_t>(length), u'\0');
    const int converted = length == 0 ? 0
                                      : ::MultiByteToWideChar(CP_ACP, 0, text, length,
                                                              reinterpret_cast<wchar_t*>(wide.data()), length);
    wide.resize(static_cast<std::size_t>(converted));
    g_active->Add(std::move(wide));
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

DebugCapture::DebugCapture() : m_outer(g_active) {
  g_active = this;
  m_handler = ::AddVectoredExceptionHandler(1, OnDebugPrint);
}

DebugCapture::~DebugCapture() {
  if (m_handler != nullptr) ::RemoveVectoredExceptionHandler(m_handler);
  g_active = m_outer;
}
