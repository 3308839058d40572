#include <cstdlib>

void SetProcessEnvironment(const char* name, const char* value) {
  if (value != nullptr) ::setenv(name, value, 1);
  else ::unsetenv(name);
}
