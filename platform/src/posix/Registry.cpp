#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Console.h"
#include "HandleTable.h"
#include "PosixIo.h"
#include "RegistryFile.h"
#include "RegistryTestHooks.h"
#include "UniqueDescriptor.h"
#include "VisibleText.h"
#include "Win32Registry.h"

namespace {

constexpr char kDefaultRegistryFile[] = "/etc/meridex/registry.reg";

// A key path is a counted string on Windows; longer ones are refused before any lookup.
constexpr std::size_t kMaxSubKeyLength = 32767;

struct SPredefinedKey {
  uint32_t value;
  RegistryRoot root;
};

constexpr SPredefinedKey kPredefinedKeys[] = {
    {0x80000000u, RegistryRoot::ClassesRoot},  {0x80000001u, RegistryRoot::CurrentUser},
    {0x80000002u, RegistryRoot::LocalMachine}, {0x80000003u, RegistryRoot::Users},
    {0x80000005u, RegistryRoot::CurrentConfig},
};

// Windows takes the predefined values as 32-bit numbers, sign-extended or not; closing
// one, even one it does not serve, succeeds and does nothing.
bool IsPredefined(HKEY key, uint32_t& value) {
  const uintptr_t v = reinterpret_cast<uintptr_t>(key);
  const uint32_t high = static_cast<uint32_t>(v >> 32);
  value = static_cast<uint32_t>(v);
  return (high == 0 || high == 0xFFFFFFFFu) && value >= 0x80000000u && value <= 0x80000007u;
}

// An open key: the node it stands on, and the tree that node belongs to, kept alive for as
// long as the key is open even if the file is read again meanwhile.
struct COpenKey {
  std::shared_ptr<const CRegistryHive> hive;
  const CRegistryNode* node = nullptr;
};

struct CRegistryState {
  std::mutex mutex;
  std::shared_ptr<const CRegistryHive> hive;  // null until the file is read
  CHandleTable<COpenKey> keys;  // the open keys by handle value
};

CRegistryState& Registry() {
  static CRegistryState state;
  return state;
}

// The path, and whatever `what` names (directories, users, the system's words), are
// written in the visible notation: none of it is the tool's own text.
void Complain(const std::string& path, const std::string& what) {
  const std::string line = "Registry file \"" + VisibleBytes(path) + "\" " + what + "; the registry is empty.\n";
  (void)ConsoleWriteUtf8(ConsoleStream::Error, line);
}

// A product's export is a few kilobytes, and even a whole hive's software key is rarely
// more than a few MiB: anything larger is not one of ours, and reading it would only
// take memory.
constexpr off_t kMaxRegistryFileBytes = off_t(4) << 20;
constexpr char kTooLarge[] = "is larger than 4 MiB";

std::string OctalMode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string UserName(uid_t uid) {
  const passwd* user = ::getpwuid(uid);
  const std::string number = "uid " + std::to_string(uid);
  return user != nullptr && user->pw_name != nullptr ? VisibleBytes(user->pw_name) + " (" + number + ")" : number;
}

// On Windows only administrators can change HKLM; here the file stands in for it, and
// whoever can change it chooses the driver library the tool loads. So, as OpenSSH does
// for its own files, the file is trusted only when it belongs to root or to the user
// running the tool and nobody else may write it, and the same holds for every directory
// above it (or another user could put a file of their own in its place), except that a
// sticky directory such as /tmp may be writable by all: there only an entry's owner can
// rename or remove it. "" when trusted; otherwise why not, in words.
std::string OwnerOnlyProblem(const struct stat& st, const char* what, const std::string& name) {
  const uid_t self = ::geteuid();
  if (st.st_uid != 0 && st.st_uid != self) {
    return std::string("is not trusted: ") + what + name + " belongs to " + UserName(st.st_uid) +
           ", not to root or to the user running the tool";
  }
  const bool sharedButSticky = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sharedButSticky) {
    return std::string("is not trusted: ") + what + name + " can be changed by other users than its owner (mode " +
           OctalMode(st.st_mode) + ")";
  }
  return std::string();
}

std::string TrustProblem(const std::string& path, const struct stat& st) {
  std::string problem = OwnerOnlyProblem(st, "the file", "");
  if (!problem.empty()) return problem;
  // The directories are those of the file itself, links resolved; it must still be the
  // file opened, or the path changed while it was checked.
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  struct stat again;
  if (!resolved || ::stat(resolved.get(), &again) != 0 || again.st_dev != st.st_dev || again.st_ino != st.st_ino) {
    return "is not trusted: it changed while it was checked";
  }
  std::string directory = resolved.get();
  while (directory.size() > 1) {
    const std::size_t slash = directory.find_last_of('/');
    // realpath answers an absolute path; a directory that cannot be named is not trusted.
    if (slash == std::string::npos) return "is not trusted: its directory cannot be found";
    directory.resize(slash == 0 ? 1 : slash);
    struct stat dir;
    // Appended rather than written "\"" + ...: GCC 12 at -O3 takes a literal followed by a
    // temporary string for copies that may overlap (-Wrestrict, GCC bug 105329).
    std::string shown = "\"";
    shown += VisibleBytes(directory);
    shown += '"';
    if (::stat(directory.c_str(), &dir) != 0) return "is not trusted: the directory " + shown + " cannot be checked";
    problem = OwnerOnlyProblem(dir, "the directory ", shown);
    if (!problem.empty()) return problem;
  }
  return std::string();
}

// Reads the whole file into bytes: "" when it did; otherwise why not, in words, with
// missing set when there is no file at all.
std::string ReadWholeFile(const std::string& path, std::string& bytes, bool& missing) {
  missing = false;
  // Not waiting for a FIFO's writer: what is not a regular file is refused anyway.
  UniqueDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0) {
    missing = errno == ENOENT;
    return missing ? "does not exist" : "cannot be read: " + VisibleBytes(std::strerror(errno));
  }
  if (S_ISDIR(st.st_mode)) return "cannot be read: " + VisibleBytes(std::strerror(EISDIR));
  if (!S_ISREG(st.st_mode)) return "is not a regular file";
  // Before a byte of it is believed.
  const std::string distrust = TrustProblem(path, st);
  if (!distrust.empty()) return distrust;
  if (st.st_size > kMaxRegistryFileBytes) return kTooLarge;
  bytes.clear();
  bytes.reserve(static_cast<std::size_t>(st.st_size));
  char chunk[65536];
  for (;;) {
    const ssize_t n = ReadRetrying(fd.get(), chunk, sizeof chunk);
    if (n > 0) {
      // It may be growing while it is read.
      if (bytes.size() + static_cast<std::size_t>(n) > static_cast<std::size_t>(kMaxRegistryFileBytes)) {
        return kTooLarge;
      }
      bytes.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return std::string();
    } else {
      return "cannot be read: " + VisibleBytes(std::strerror(errno));
    }
  }
}

std::shared_ptr<const CRegistryHive> LoadHive() {
  const char* configured = std::getenv("MERIDEX_REGISTRY");
  const bool named = configured != nullptr && *configured != '\0';
  const std::string path = named ? configured : kDefaultRegistryFile;
  auto empty = std::make_shared<const CRegistryHive>();

  std::string bytes;
  bool missing = false;
  const std::string failure = ReadWholeFile(path, bytes, missing);
  if (!failure.empty()) {
    // Without Meridex there is no registry file, and the lookup says so; a file named on
    // purpose that is not there is worth naming, since the lookup cannot tell which.
    if (!missing || named) Complain(path, failure);
    return empty;
  }
  CRegistryFileError error;
  std::u16string text;
  const bool decoded = DecodeRegistryFile(bytes, text, error);
  std::string().swap(bytes);  // the file's bytes are not held beside their text and the tree
  auto hive = std::make_shared<CRegistryHive>();
  if (!decoded || !ParseRegistryText(text, *hive, error)) {
    Complain(path, "line " + std::to_string(error.line) + ": " + error.reason);
    return empty;
  }
  return hive;
}

// Called with the lock held.
const std::shared_ptr<const CRegistryHive>& LoadedHive(CRegistryState& state) {
  if (!state.hive) state.hive = LoadHive();
  return state.hive;
}

// What a handle stands on: a predefined root of the current file, or an open key.
bool Resolve(CRegistryState& state, HKEY key, COpenKey& out) {
  uint32_t predefined;
  if (IsPredefined(key, predefined)) {
    for (const SPredefinedKey& p : kPredefinedKeys) {
      if (p.value == predefined) {
        out.hive = LoadedHive(state);
        out.node = &out.hive->Root(p.root);
        return true;
      }
    }
    return false;
  }
  const COpenKey* open = state.keys.Find(reinterpret_cast<uintptr_t>(key));
  if (open == nullptr) return false;
  out = *open;
  return true;
}

// Length of text, or limit when it is at least that long, without reading further.
std::size_t BoundedLength(const char16_t* text, std::size_t limit) {
  std::size_t n = 0;
  while (n < limit && text[n] != 0) ++n;
  return n;
}

}  // namespace

LONG RegOpenKeyExW(HKEY key, const char16_t* subKey, DWORD /*options*/, REGSAM /*access*/, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;

  CRegistryState& state = Registry();
  std::lock_guard<std::mutex> lock(state.mutex);
  COpenKey from;
  if (!Resolve(state, key, from)) return ERROR_INVALID_HANDLE;

  const std::size_t length = subKey == nullptr ? 0 : BoundedLength(subKey, kMaxSubKeyLength + 1);
  uint32_t predefined;
  if (length == 0 && IsPredefined(key, predefined)) {
    *result = key;
    return ERROR_SUCCESS;
  }
  if (length > kMaxSubKeyLength) return ERROR_INVALID_PARAMETER;
  if (length > 0 && subKey[0] == u'\\') return ERROR_BAD_PATHNAME;

  const CRegistryNode* node = from.node;
  const std::u16string_view path(subKey == nullptr ? u"" : subKey, length);
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start) {
      const auto found = node->subKeys.find(path.substr(start, end - start));
      if (found == node->subKeys.end()) return ERROR_FILE_NOT_FOUND;
      node = found->second.get();
    }
    start = end + 1;
  }

  const uintptr_t opened = state.keys.Add(COpenKey{from.hive, node});
  if (opened == 0) return ERROR_NOT_ENOUGH_MEMORY;
  *result = reinterpret_cast<HKEY>(opened);
  return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size) {
  if (reserved != nullptr || (data != nullptr && size == nullptr)) return ERROR_INVALID_PARAMETER;

  CRegistryState& state = Registry();
  std::lock_guard<std::mutex> lock(state.mutex);
  COpenKey at;
  if (!Resolve(state, key, at)) return ERROR_INVALID_HANDLE;

  const auto found = at.node->values.find(std::u16string_view(name == nullptr ? u"" : name));
  if (found == at.node->values.end()) return ERROR_FILE_NOT_FOUND;
  const CRegistryValue& value = found->second;
  const DWORD needed = static_cast<DWORD>(value.data.size());  // the parser keeps values within a DWORD

  if (type != nullptr) *type = value.type;
  if (data != nullptr) {
    if (*size < needed) {
      *size = needed;
      return ERROR_MORE_DATA;
    }
    if (needed > 0) std::memcpy(data, value.data.data(), needed);
  }
  if (size != nullptr) *size = needed;
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  uint32_t predefined;
  if (IsPredefined(key, predefined)) return ERROR_SUCCESS;
  CRegistryState& state = Registry();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.keys.Remove(reinterpret_cast<uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

void ReloadRegistryFile() {
  CRegistryState& state = Registry();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.hive.reset();
}

std::size_t OpenRegistryKeyCount() {
  CRegistryState& state = Registry();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.keys.Count();
}
