#include "ScopedEnvironment.h"

#include <cstdlib>

// The one call that differs between the builds.
void SetProcessEnvironment(const char* name, const char* value);

ScopedEnvironmentVariable::ScopedEnvironmentVariable(const char* name, const char* value) : m_name(name) {
  if (const char* previous = std::getenv(name)) {
    m_previous = previous;
    m_hadPrevious = true;
  }
  SetProcessEnvironment(name, value);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
  SetProcessEnvironment(m_name.c_str(), m_hadPrevious ? m_previous.c_str() : nullptr);
}
