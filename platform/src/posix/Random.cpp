#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "PosixPath.h"
#include "Win32Random.h"

namespace {

constexpr const char* kRandomDevice = "/dev/urandom";

// The kernels that predate getrandom (or a sandbox that forbids it) still have the device.
bool ReadRandomDevice(uint8_t* bytes, std::size_t length) {
  const int fd = open(kRandomDevice, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(Win32ErrorFromErrno(errno, kRandomDevice));
    return false;
  }
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = read(fd, bytes + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      SetLastError(n < 0 ? Win32ErrorFromErrno(errno, kRandomDevice) : ERROR_INVALID_DATA);
      close(fd);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  close(fd);
  return true;
}

}  // namespace

BOOLEAN RtlGenRandom(void* buffer, ULONG length) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    // getrandom may hand over less than a large request asks, or be cut short by a signal.
    const ssize_t n = getrandom(bytes + done, length - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ENOSYS) return ReadRandomDevice(bytes + done, length - done) ? TRUE : FALSE;
    if (n <= 0) {
      SetLastError(n < 0 ? Win32ErrorFromErrno(errno, kRandomDevice) : ERROR_INVALID_DATA);
      return FALSE;
    }
    done += static_cast<std::size_t>(n);
  }
  return TRUE;
}
