/* Preloaded into the Linux tool (LD_PRELOAD) by the tests of how the list is written: it
 * logs, one line each, the system calls that make, write, flush and place the list, so a
 * test can check their order, and it makes one of them fail on request.
 *
 *   MERIDEX_LIST_CALLS=/path        the log
 *   MERIDEX_LIST_CALLS_FAIL=unnamed a file without a name (O_TMPFILE) is refused, as by a
 *                                   file system that has none (EOPNOTSUPP)
 *   MERIDEX_LIST_CALLS_FAIL=folder  the flush of the list's folder fails (EIO)
 *
 * Only calls on the list's own descriptors are logged: the folder "." opened as a
 * directory, a file made without a name, a new file whose name holds "Vestrum". */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

enum { kNone, kFolder, kFile };
static char g_kind[4096];
static int g_lastWasWrite;

static void* Next(const char* name) { return dlsym(RTLD_NEXT, name); }

static int Failing(const char* what) {
  const char* fail = getenv("MERIDEX_LIST_CALLS_FAIL");
  return fail != NULL && strcmp(fail, what) == 0;
}

static void Log(const char* line) {
  const char* path = getenv("MERIDEX_LIST_CALLS");
  if (path == NULL) return;
  const int saved = errno;
  const int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) {
    syscall(SYS_write, fd, line, strlen(line));
    syscall(SYS_write, fd, "\n", 1);
    syscall(SYS_close, fd);
  }
  g_lastWasWrite = strcmp(line, "write") == 0;
  errno = saved;
}

static int Kind(int fd) { return fd >= 0 && fd < (int)sizeof g_kind ? g_kind[fd] : kNone; }

static int Opened(const char* path, int flags, int fd) {
  if (fd < 0 || fd >= (int)sizeof g_kind) return fd;
  g_kind[fd] = kNone;
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    g_kind[fd] = kFile;
    Log("create unnamed");
  } else if ((flags & O_DIRECTORY) != 0 && strcmp(path, ".") == 0) {
    g_kind[fd] = kFolder;
    Log("open folder");
  } else if ((flags & O_CREAT) != 0 && strstr(path, "Vestrum") != NULL) {
    g_kind[fd] = kFile;
    Log("create named");
  }
  return fd;
}

static int OpenAt(int dir, const char* path, int flags, mode_t mode) {
  typedef int (*OpenAtFn)(int, const char*, int, ...);
  if ((flags & O_TMPFILE) == O_TMPFILE && Failing("unnamed")) {
    Log("create unnamed: refused");
    errno = EOPNOTSUPP;
    return -1;
  }
  return Opened(path, flags, ((OpenAtFn)Next("openat"))(dir, path, flags, mode));
}

static mode_t ModeOf(int flags, va_list args) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

/* The four ways in which the C library is asked to open a file, each with its mode. */
#define LIST_CALLS_OPEN(name, dir, ...)          \
  int name(__VA_ARGS__, int flags, ...) {        \
    va_list args;                                \
    va_start(args, flags);                       \
    const mode_t mode = ModeOf(flags, args);     \
    va_end(args);                                \
    return OpenAt(dir, path, flags, mode);       \
  }
LIST_CALLS_OPEN(open, AT_FDCWD, const char* path)
LIST_CALLS_OPEN(open64, AT_FDCWD, const char* path)
LIST_CALLS_OPEN(openat, dir, int dir, const char* path)
LIST_CALLS_OPEN(openat64, dir, int dir, const char* path)
int __open_2(const char* path, int flags) { return OpenAt(AT_FDCWD, path, flags, 0); }
int __open64_2(const char* path, int flags) { return OpenAt(AT_FDCWD, path, flags, 0); }

ssize_t write(int fd, const void* data, size_t size) {
  typedef ssize_t (*WriteFn)(int, const void*, size_t);
  if (Kind(fd) == kFile && !g_lastWasWrite) Log("write");
  return ((WriteFn)Next("write"))(fd, data, size);
}

int fsync(int fd) {
  typedef int (*FsyncFn)(int);
  if (Kind(fd) == kFolder) {
    Log("flush folder");
    if (Failing("folder")) {
      errno = EIO;
      return -1;
    }
  } else if (Kind(fd) == kFile) {
    Log("flush file");
  }
  return ((FsyncFn)Next("fsync"))(fd);
}

int fdatasync(int fd) {
  typedef int (*FdatasyncFn)(int);
  if (Kind(fd) != kNone) Log("fdatasync");
  return ((FdatasyncFn)Next("fdatasync"))(fd);
}

int fchmod(int fd, mode_t mode) {
  typedef int (*FchmodFn)(int, mode_t);
  if (Kind(fd) == kFile) {
    char line[32];
    snprintf(line, sizeof line, "mode %o", (unsigned)mode);
    Log(line);
  }
  return ((FchmodFn)Next("fchmod"))(fd, mode);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
  typedef int (*LinkatFn)(int, const char*, int, const char*, int);
  if (strncmp(from, "/proc/self/fd/", 14) == 0) Log("link");
  return ((LinkatFn)Next("linkat"))(fromDir, from, toDir, to, flags);
}

int rename(const char* from, const char* to) {
  typedef int (*RenameFn)(const char*, const char*);
  if (strstr(to, "Vestrum") != NULL) Log("rename");
  return ((RenameFn)Next("rename"))(from, to);
}

int close(int fd) {
  typedef int (*CloseFn)(int);
  if (fd >= 0 && fd < (int)sizeof g_kind) g_kind[fd] = kNone;
  return ((CloseFn)Next("close"))(fd);
}
