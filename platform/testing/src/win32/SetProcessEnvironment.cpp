#include <cstdlib>

// _putenv_s keeps the C runtime's copy, which getenv reads, and the process's in step;
// an empty value removes the variable.
void SetProcessEnvironment(const char* name, const char* value) { ::_putenv_s(name, value != nullptr ? value : ""); }
