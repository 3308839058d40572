#pragma once
// A lock on a file that several test processes share: the two end-to-end runs (the Linux
// and the Windows build) use the same Galera cluster at once, and a test that takes a
// node out of it must have the node alone. Shared or exclusive, held until released or
// closed. Only the Linux test programs reach the cluster; elsewhere Open fails.

#include <string>

class CNodeLock {
 public:
  CNodeLock() = default;
  ~CNodeLock();
  CNodeLock(const CNodeLock&) = delete;
  CNodeLock& operator=(const CNodeLock&) = delete;

  // Opens (creating) the file. False on failure.
  [[nodiscard]] bool Open(const std::string& path);
  // Waits until the lock is held as asked; a held lock changes its kind (not atomically:
  // it is let go first, so two holders that both ask for it alone cannot wait for each other).
  [[nodiscard]] bool Hold(bool exclusive);

 private:
  int m_fd = -1;
};
