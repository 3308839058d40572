#include "JobControl.h"

#include <csignal>

namespace {

constexpr int kStopSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};

}  // namespace

CHeldJobStops::CHeldJobStops() {
  sigset_t stops, previous;
  sigemptyset(&stops);
  for (int sig : kStopSignals) sigaddset(&stops, sig);
  if (::sigprocmask(SIG_BLOCK, &stops, &previous) != 0) return;
  for (unsigned i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i) {
    if (sigismember(&previous, kStopSignals[i]) == 0) m_blocked |= 1u << i;
  }
}

CHeldJobStops::~CHeldJobStops() {
  // A stop that came meanwhile is pending, and is delivered as the mask drops it.
  sigset_t held;
  sigemptyset(&held);
  for (unsigned i = 0; i < sizeof kStopSignals / sizeof kStopSignals[0]; ++i) {
    if ((m_blocked & (1u << i)) != 0) sigaddset(&held, kStopSignals[i]);
  }
  (void)::sigprocmask(SIG_UNBLOCK, &held, nullptr);
}
