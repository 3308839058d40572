#pragma once
// Collects what the process sends to the debugger output channel while it lives: one
// string per OutputDebugStringW call, in order. The same test reads the same strings on
// both builds. Captures nest; the innermost one sees the calls.

#include <string>
#include <vector>

class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  const std::vector<std::u16string>& Strings() const { return m_strings; }
  void Clear() { m_strings.clear(); }

  // Used by the platform's hook; not for tests.
  void Add(std::u16string text) { m_strings.push_back(std::move(text)); }

 private:
  std::vector<std::u16string> m_strings;
#ifdef _WIN32
  DebugCapture* m_outer = nullptr;  // the capture this one hides
  void* m_handler = nullptr;        // the exception handler
#else
  void (*m_previous)(const char16_t*, void*) = nullptr;  // the observer this one replaced
  void* m_previousContext = nullptr;
#endif
};
