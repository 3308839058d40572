// The tool's run with the heap giving out at a chosen moment: from the Nth allocation of
// the run on (N in MERIDEX_FAIL_ALLOCATION), every operator new fails as on a full heap,
// with std::bad_alloc. The end-to-end tests walk N over a whole run, on both builds, to
// show that wherever an allocation fails the run ends with a message and exit status 0:
// a limit on the address space cannot do that under Wine, and on Linux it strikes the
// drivers first. MERIDEX_COUNT_ALLOCATIONS names a file that receives how many
// allocations the run made.

#include <cstdio>
#include <cstdlib>
#include <new>

#include "CleanupRun.h"

namespace {

long long g_made = 0;
long long g_failFrom = -1;  // the first allocation that fails, counted from 1; -1: none

}  // namespace

void* operator new(std::size_t size) {
  ++g_made;
  if (g_failFrom > 0 && g_made >= g_failFrom) throw std::bad_alloc();
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

int main() {
  if (const char* from = std::getenv("MERIDEX_FAIL_ALLOCATION")) g_failFrom = std::atoll(from);
  g_made = 0;
  const int status = RunCleanup();
  if (const char* path = std::getenv("MERIDEX_COUNT_ALLOCATIONS")) {
    if (std::FILE* file = std::fopen(path, "w")) {
      std::fprintf(file, "%lld\n", g_made);
      std::fclose(file);
    }
  }
  return status;
}
