#pragma once
// Reads and writes on a descriptor that go on after a signal interrupts them: the tool
// installs handlers (the console's terminal mode), so any call may fail with EINTR.

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

// One read; repeated while a signal interrupts it. What read returns otherwise.
inline ssize_t ReadRetrying(int fd, void* data, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, data, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// Writes all of data. False when the descriptor takes no more (a full disk, a closed pipe).
inline bool WriteFully(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Reads exactly size bytes at offset. False on failure or when the file ends first.
inline bool ReadFullyAt(int fd, uint64_t offset, void* data, std::size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
  return true;
}
