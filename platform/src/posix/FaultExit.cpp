#include "FaultExit.h"

#include <signal.h>
#include <unistd.h>

#include <cstddef>

namespace {

// The faults, abort() (which the C library also calls on a corrupt heap), and a soft
// CPU-time limit running out: each ends the process without a word unless caught.
constexpr int kFaults[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGXCPU};

CFaultExit::LastWords g_lastWords = nullptr;
struct sigaction g_previous[sizeof kFaults / sizeof kFaults[0]];
stack_t g_previousStack;
// A fault may be a stack overflow: the handler runs on a stack of its own, which is
// static so that installing it allocates nothing.
alignas(16) char g_stack[64 * 1024];
// Set once the last words have begun: a second fault on the way (in them, or a driver's
// abort() after its own fault) ends the process without saying them twice.
volatile sig_atomic_t g_spoken = 0;

const char* Name(int signal) {
  switch (signal) {
    case SIGSEGV: return "segmentation fault";
    case SIGBUS: return "bus error";
    case SIGILL: return "illegal instruction";
    case SIGABRT: return "abort";
    case SIGXCPU: return "CPU time limit";
    default: return "arithmetic fault";
  }
}

void OnFault(int signal, siginfo_t* info, void*) {
  if (g_lastWords != nullptr && g_spoken == 0) {
    g_spoken = 1;
    g_lastWords(Name(signal));
  }
  // Then the fault as it would have been without us: the handling there was before (a
  // sanitizer's, which reports the fault with its stack) or the default action, so that
  // the process dies of it, with its core dump, and whoever waits for it sees which
  // signal it was. A fault of the processor's strikes again at the same instruction once
  // this returns; a signal that was sent (abort's, the CPU-time limit's) is raised again,
  // and arrives once this returns.
  std::size_t i = 0;
  while (kFaults[i] != signal) ++i;
  struct sigaction previous = g_previous[i];
  if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN) previous.sa_handler = SIG_DFL;
  (void)sigaction(signal, &previous, nullptr);
  if (info == nullptr || info->si_code <= 0 || signal == SIGABRT || signal == SIGXCPU) (void)raise(signal);
}

}  // namespace

CFaultExit::CFaultExit(LastWords lastWords) {
  g_lastWords = lastWords;
  g_spoken = 0;
  stack_t stack = {};
  stack.ss_sp = g_stack;
  stack.ss_size = sizeof g_stack;
  (void)sigaltstack(&stack, &g_previousStack);
  struct sigaction action = {};
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_ONSTACK | SA_SIGINFO;
  // While the last words are said, no other fault's handler interrupts them.
  sigemptyset(&action.sa_mask);
  for (const int fault : kFaults) sigaddset(&action.sa_mask, fault);
  for (std::size_t i = 0; i < sizeof kFaults / sizeof kFaults[0]; ++i) (void)sigaction(kFaults[i], &action, &g_previous[i]);
}

CFaultExit::~CFaultExit() {
  for (std::size_t i = 0; i < sizeof kFaults / sizeof kFaults[0]; ++i) (void)sigaction(kFaults[i], &g_previous[i], nullptr);
  (void)sigaltstack(&g_previousStack, nullptr);
  g_lastWords = nullptr;
}
