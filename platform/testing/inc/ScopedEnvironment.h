#pragma once
// Sets an environment variable of this process for the object's lifetime and then puts
// back what was there, absent included. A null value removes the variable.

#include <string>

class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(const char* name, const char* value);
  ~ScopedEnvironmentVariable();
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::string m_name;
  std::string m_previous;
  bool m_hadPrevious = false;
};
