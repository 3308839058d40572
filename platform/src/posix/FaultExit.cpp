#include "FaultExit.h"

#include <signal.h>
#include <unistd.h>

#include <cstddef>

namespace {

constexpr int kFaults[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};

CFaultExit::LastWords g_lastWords = nullptr;
struct sigaction g_previous[sizeof kFaults / sizeof kFaults[0]];
stack_t g_previousStack;
// A fault may be a stack overflow: the handler runs on a stack of its own, which is
// static so that installing it allocates nothing.
alignas(16) char g_stack[64 * 1024];

const char* Name(int signal) {
  switch (signal) {
    case SIGSEGV: return "segmentation fault";
    case SIGBUS: return "bus error";
    case SIGILL: return "illegal instruction";
    default: return "arithmetic fault";
  }
}

void OnFault(int signal) {
  if (g_lastWords != nullptr) g_lastWords(Name(signal));
  _exit(0);
}

}  // namespace

CFaultExit::CFaultExit(LastWords lastWords) {
  g_lastWords = lastWords;
  stack_t stack = {};
  stack.ss_sp = g_stack;
  stack.ss_size = sizeof g_stack;
  (void)sigaltstack(&stack, &g_previousStack);
  struct sigaction action = {};
  action.sa_handler = OnFault;
  action.sa_flags = SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < sizeof kFaults / sizeof kFaults[0]; ++i) (void)sigaction(kFaults[i], &action, &g_previous[i]);
}

CFaultExit::~CFaultExit() {
  for (std::size_t i = 0; i < sizeof kFaults / sizeof kFaults[0]; ++i) (void)sigaction(kFaults[i], &g_previous[i], nullptr);
  (void)sigaltstack(&g_previousStack, nullptr);
  g_lastWords = nullptr;
}
