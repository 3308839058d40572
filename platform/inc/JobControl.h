#pragma once
// Job control around work that must not be left half done by a stop.

// While one lives, a stop asked for by the terminal (Ctrl+Z, or a read or write of a job
// in the background) is held; it takes effect as soon as the scope ends, so the process
// still stops, only later. SIGSTOP cannot be held. On Windows, which has no job stops,
// it does nothing.
class CHeldJobStops {
 public:
  CHeldJobStops();
  ~CHeldJobStops();
  CHeldJobStops(const CHeldJobStops&) = delete;
  CHeldJobStops& operator=(const CHeldJobStops&) = delete;

 private:
  // The stop signals that this scope blocked, one bit each; those blocked before stay so.
  unsigned m_blocked = 0;
};
