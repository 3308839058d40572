#include "DebugCapture.h"

#include "../../../src/posix/DebugOutputHook.h"

namespace {

void Collect(const char16_t* text, void* context) { static_cast<DebugCapture*>(context)->Add(text); }

}  // namespace

DebugCapture::DebugCapture() {
  m_previous = SetDebugOutputObserver(Collect, this, &m_previousContext);
}

DebugCapture::~DebugCapture() {
  SetDebugOutputObserver(m_previous, m_previousContext, nullptr);
}
