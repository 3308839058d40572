#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
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

void Complain(const std::string& path, const std::string& what) {
  const std::string line = "Registry file \"" + path + "\" " + what + "; the registry is empty.\n";
  (void)ConsoleWriteUtf8(ConsoleStream::Error, line);
}

// An export of a whole hive is well under this; anything larger is not one of ours, and
// reading it whole would only exhaust the memory.
constexpr off_t kMaxRegistryFileBytes = off_t(1) << 30;

// Reads the whole file into bytes: "" when it did; otherwise why not, in words, with
// missing set when there is no file at all (an empty registry, and nothing to say).
std::string ReadWholeFile(const std::string& path, std::string& bytes, bool& missing) {
  missing = false;
  // Not waiting for a FIFO's writer: what is not a regular file is refused anyway.
  UniqueDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0) {
    missing = errno == ENOENT;
    return std::string("cannot be read: ") + std::strerror(errno);
  }
  if (S_ISDIR(st.st_mode)) return std::string("cannot be read: ") + std::strerror(EISDIR);
  if (!S_ISREG(st.st_mode)) return "is not a regular file";
  if (st.st_size > kMaxRegistryFileBytes) return "is larger than 1 GiB";
  bytes.clear();
  bytes.reserve(static_cast<std::size_t>(st.st_size));
  char chunk[65536];
  for (;;) {
    const ssize_t n = ReadRetrying(fd.get(), chunk, sizeof chunk);
    if (n > 0) {
      // It may be growing while it is read.
      if (bytes.size() + static_cast<std::size_t>(n) > static_cast<std::size_t>(kMaxRegistryFileBytes)) {
        return "is larger than 1 GiB";
      }
      bytes.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return std::string();
    } else {
      return std::string("cannot be read: ") + std::strerror(errno);
    }
  }
}

std::shared_ptr<const CRegistryHive> LoadHive() {
  const char* configured = std::getenv("MERIDEX_REGISTRY");
  const std::string path = configured != nullptr && *configured != '\0' ? configured : kDefaultRegistryFile;
  auto empty = std::make_shared<const CRegistryHive>();

  std::string bytes;
  bool missing = false;
  const std::string failure = ReadWholeFile(path, bytes, missing);
  if (!failure.empty()) {
    if (!missing) Complain(path, failure);
    return empty;
  }
  auto hive = std::make_shared<CRegistryHive>();
  CRegistryFileError error;
  if (!ParseRegistryFile(bytes, *hive, error)) {
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
  const DWORD needed = static_cast<DWORD>(value.data.size());  // the parser keeps values below 4 GB

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
