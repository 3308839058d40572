#include "RegularFile.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "../common/TemporaryName.h"
#include "HeldSignals.h"
#include "PosixIo.h"
#include "UniqueDescriptor.h"

const char* const kNotARegularFile = "it is not a regular file (a link, a pipe or a device has that name)";

namespace {

constexpr int kNameAttempts = 100;

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string SystemReason(int error) { return std::strerror(error); }

// Where the file system cannot make a file without a name, the new file has one while
// it is written: a signal that ends the process (Ctrl+C, a hang-up, kill, a CPU limit)
// removes it first, then does what it would have done. The name is kept in static
// storage, so that the handler neither allocates nor reads an object being changed.
constexpr int kEndingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};
constexpr int kEndingCount = sizeof kEndingSignals / sizeof kEndingSignals[0];
char g_named[PATH_MAX];
struct sigaction g_previous[kEndingCount];
bool g_installed[kEndingCount];

void RemoveNamedAndReraise(int sig) {
  if (g_named[0] != '\0') (void)::unlink(g_named);
  ::signal(sig, SIG_DFL);
  ::raise(sig);  // held until this handler returns, then it ends the process
}

// Arms the handlers for `name` (signals held while called). False when the name is too long.
bool GuardNamed(const std::string& name) {
  if (name.size() >= sizeof g_named) return false;
  std::memcpy(g_named, name.c_str(), name.size() + 1);
  struct sigaction action = {};
  action.sa_handler = RemoveNamedAndReraise;
  ::sigfillset(&action.sa_mask);
  for (int i = 0; i < kEndingCount; ++i) {
    // A signal that was ignored (nohup) stays ignored.
    g_installed[i] = ::sigaction(kEndingSignals[i], nullptr, &g_previous[i]) == 0 &&
                     g_previous[i].sa_handler != SIG_IGN && ::sigaction(kEndingSignals[i], &action, nullptr) == 0;
  }
  return true;
}

void Unguard() {
  for (int i = 0; i < kEndingCount; ++i) {
    if (g_installed[i]) (void)::sigaction(kEndingSignals[i], &g_previous[i], nullptr);
    g_installed[i] = false;
  }
  g_named[0] = '\0';
}

// The name by which a file without one can be linked: linkat with AT_EMPTY_PATH would
// need a privilege, the descriptor's entry in /proc does not.
std::string ProcLink(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Opens a file without a name in `directory`, or fails with errno.
// NOTE: a kernel without O_TMPFILE takes it for O_DIRECTORY and says EISDIR; a file
// system without it says EOPNOTSUPP.
UniqueDescriptor OpenUnnamed(const std::string& directory, mode_t mode, bool& unsupported) {
  UniqueDescriptor fd(::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
  unsupported = !fd && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL);
  if (!fd) return fd;
  // Without /proc it could never be given a name.
  if (::access(ProcLink(fd.get()).c_str(), F_OK) != 0) {
    unsupported = true;
    return UniqueDescriptor();
  }
  return fd;
}

}  // namespace

struct CReplacementFile::Handles {
  UniqueDescriptor file;
  UniqueDescriptor directory;
  std::string directoryPath;
  // The new file's name, when the file system could not give it none.
  std::string named;
  // What the final name held, whose permissions the new file takes.
  bool replacing = false;
  struct stat replaced = {};
  // The file as it was put in place.
  struct stat placed = {};
};

CReplacementFile::CReplacementFile() : m_handles(std::make_unique<Handles>()) {}

CReplacementFile::~CReplacementFile() { Abandon(); }

std::string CReplacementFile::BadHandleReason() const { return SystemReason(EBADF); }

void CReplacementFile::DiscardFile() {
  m_handles->file.reset();
  m_handles->directory.reset();
  if (!m_handles->named.empty()) {
    (void)::unlink(m_handles->named.c_str());
    Unguard();
    m_handles->named.clear();
  }
}

bool CReplacementFile::BeginFile(std::string& reason) {
  Handles& h = *m_handles;
  h.replacing = false;
  h.directoryPath = DirectoryOf(m_path);
  // What the name holds now is only looked at: it is never opened, so a device or a FIFO
  // there has no effect at all, and the rename that replaces it does not follow a link.
  if (::lstat(m_path.c_str(), &h.replaced) == 0) {
    if (S_ISDIR(h.replaced.st_mode)) return reason = SystemReason(EISDIR), false;
    if (!S_ISREG(h.replaced.st_mode)) return reason = kNotARegularFile, false;
    // A file that nobody may write was made read-only on purpose: it is kept, as Windows
    // keeps a file with the read-only attribute.
    if ((h.replaced.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return reason = SystemReason(EACCES), false;
    h.replacing = true;
  } else if (errno != ENOENT) {
    return reason = SystemReason(errno), false;
  }
  // Opened now, so that once the file is in place nothing can fail but the flush itself.
  // A directory that one may write but not read (mode -wx) cannot be opened to be
  // flushed: the list is written there all the same, as any program would.
  h.directory.reset(::open(h.directoryPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!h.directory && errno != EACCES) return reason = SystemReason(errno), false;
  // A folder that was removed (the working directory, while the tool waited) has no link
  // left: nothing can be made in it, which is said as a missing folder.
  // NOTE: O_TMPFILE in such a folder says EPERM, a named file ENOENT.
  struct stat folder;
  const int looked = h.directory ? ::fstat(h.directory.get(), &folder) : ::stat(h.directoryPath.c_str(), &folder);
  if (looked == 0 && folder.st_nlink == 0) return reason = SystemReason(ENOENT), false;
  // Until it has its permissions, a file that replaces a private one is the owner's alone.
  const mode_t mode = h.replacing ? 0600 : 0666;
  bool unsupported = false;
  h.file = OpenUnnamed(h.directoryPath, mode, unsupported);
  if (!h.file && !unsupported) return reason = SystemReason(errno), false;
  // Where it cannot be without a name: a new name of our own, made only if nothing has
  // it (not even a dangling link). The name is made before the file, and the file made
  // and guarded with signals held, so that nothing can part the file from its removal.
  for (int attempt = 0; !h.file && attempt < kNameAttempts; ++attempt) {
    std::string name = TemporaryNameBeside(m_path, static_cast<unsigned long>(::getpid()), attempt);
    CHeldSignals held;
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) {
      if (errno != EEXIST) return reason = SystemReason(errno), false;
      continue;
    }
    h.file.reset(fd);
    if (!GuardNamed(name)) {
      (void)::unlink(name.c_str());
      return reason = SystemReason(ENAMETOOLONG), false;
    }
    h.named = std::move(name);
  }
  if (!h.file) return reason = SystemReason(EEXIST), false;
  // The list that is replaced may have been made private, or shared with a group, on
  // purpose: the new one keeps that. The group only where the user may give it.
  if (h.replacing) {
    if (h.replaced.st_gid != ::getegid()) (void)::fchown(h.file.get(), static_cast<uid_t>(-1), h.replaced.st_gid);
    if (::fchmod(h.file.get(), h.replaced.st_mode & 0777) != 0) return reason = SystemReason(errno), false;
  }
  return true;
}

std::size_t CReplacementFile::WriteSome(const char* data, std::size_t size, std::string& reason) {
  for (;;) {
    const ssize_t n = ::write(m_handles->file.get(), data, size);
    if (n < 0 && errno == EINTR) continue;
    // A regular file takes at least one byte or says why not; no progress at all is
    // taken as the device's failure rather than waited on.
    if (n <= 0) {
      reason = SystemReason(n < 0 ? errno : EIO);
      return 0;
    }
    return static_cast<std::size_t>(n);
  }
}

bool CReplacementFile::FlushFile(std::string& reason) {
  if (::fsync(m_handles->file.get()) == 0) return true;
  reason = SystemReason(errno);
  return false;
}

bool CReplacementFile::PutInPlace(std::string& reason) {
  Handles& h = *m_handles;
  if (!h.named.empty()) {
    CHeldSignals held;
    if (::rename(h.named.c_str(), m_path.c_str()) != 0) return reason = SystemReason(errno), false;
    Unguard();
    h.named.clear();
  } else {
    // A link cannot replace a name: the file gets a new name of its own beside the final
    // one, which the rename then puts in its place. Signals are held from the one to the
    // other, so that no name is left behind by one of them.
    const std::string link = ProcLink(h.file.get());
    bool linked = false;
    for (int attempt = 0; !linked && attempt < kNameAttempts; ++attempt) {
      const std::string name = TemporaryNameBeside(m_path, static_cast<unsigned long>(::getpid()), attempt);
      CHeldSignals held;
      if (::linkat(AT_FDCWD, link.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        if (errno != EEXIST) return reason = SystemReason(errno), false;
        continue;
      }
      if (::rename(name.c_str(), m_path.c_str()) != 0) {
        reason = SystemReason(errno);
        (void)::unlink(name.c_str());
        return false;
      }
      linked = true;
    }
    if (!linked) return reason = SystemReason(EEXIST), false;
  }
  // Taken after the rename, which changes the file's change time itself.
  if (::fstat(h.file.get(), &h.placed) != 0) h.placed = {};
  return true;
}

bool CReplacementFile::FlushFolder(std::string& reason) {
  // NOTE: a few file systems cannot flush a directory and say EINVAL; what they keep of
  // a rename is up to them, and there is nothing more to ask of them.
  const bool flushed =
      !m_handles->directory || ::fsync(m_handles->directory.get()) == 0 || errno == EINVAL;
  if (!flushed) reason = SystemReason(errno);
  m_handles->directory.reset();
  return flushed;
}

bool CReplacementFile::StillInPlace(std::string& reason) {
  const struct stat& mine = m_handles->placed;
  struct stat named;
  // A file that the name leads to has a link left, so identity says all: a file whose
  // last name was removed is never the one found. Anything written into it, or a
  // change of its permissions or links, moves its change time, which nobody can set back.
  if (::lstat(m_path.c_str(), &named) != 0) {
    reason = "it is no longer there";
  } else if (named.st_dev != mine.st_dev || named.st_ino != mine.st_ino) {
    reason = "another file has its name now";
  } else if (static_cast<uint64_t>(named.st_size) != m_written || named.st_ctim.tv_sec != mine.st_ctim.tv_sec ||
             named.st_ctim.tv_nsec != mine.st_ctim.tv_nsec) {
    reason = "it was changed since it was written";
  } else {
    return true;
  }
  return false;
}

bool CReplacementFile::ReadBack(uint64_t offset, char* data, std::size_t size) {
  return m_committed && ReadFullyAt(m_handles->file.get(), offset, data, size);
}

bool IsFolderGuarded(const char* path, std::string& folder) {
  const std::string directory = DirectoryOf(path != nullptr ? path : "");
  struct stat st;
  // A folder that cannot be looked at is left to the list's own creation to report.
  if (::stat(directory.c_str(), &st) != 0 || (st.st_mode & S_IWOTH) == 0 || (st.st_mode & S_ISVTX) != 0) return true;
  char full[PATH_MAX];
  folder = ::realpath(directory.c_str(), full) != nullptr ? full : directory;
  return false;
}
