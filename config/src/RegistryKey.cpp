#include "RegistryKey.h"

#include "MemoryKey.h"

namespace {

// The buffer's size in bytes. A capacity whose byte size a DWORD cannot hold is taken as
// the largest even size it can: less than the buffer, never more.
DWORD ByteSize(DWORD capacity) { return capacity > 0x7FFFFFFFu ? 0xFFFFFFFEu : capacity * 2; }

}  // namespace

CRegistryKey::CRegistryKey(HKEY root) noexcept : m_hKey(root), m_pMemoryKey(nullptr) {}

CRegistryKey::CRegistryKey(CMemoryKey& treeRoot) noexcept : m_hKey(nullptr), m_pMemoryKey(&treeRoot) {}

CRegistryKey::~CRegistryKey() = default;

bool CRegistryKey::Open(const char16_t* subKey, REGSAM access, LONG* status) {
  if (m_hKey != nullptr) return OpenRegistryKey(subKey, access, status);
  const bool opened = OpenMemoryKey(subKey, access);
  // The tree reports through status too, so that a caller need not know the backing.
  if (status != nullptr) *status = opened ? ERROR_SUCCESS : static_cast<LONG>(GetLastError());
  return opened;
}

bool CRegistryKey::OpenRegistryKey(const char16_t* subKey, REGSAM access, LONG* status) {
  HKEY opened = nullptr;
  const LONG result = RegOpenKeyExW(m_hKey, subKey, 0, access, &opened);
  if (status != nullptr) *status = result;
  if (result != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(result));
    return false;
  }
  // An empty path on a predefined key gives that very key back: nothing new to own, and
  // the root must not end up closed.
  if (opened == m_hKey) return true;
  m_ownedKey.reset(opened);
  m_hKey = opened;
  return true;
}

bool CRegistryKey::OpenMemoryKey(const char16_t* subKey, REGSAM access) {
  if (m_pMemoryKey == nullptr) {
    SetLastError(static_cast<DWORD>(STG_E_INVALIDNAME));
    return false;
  }
  if (subKey == nullptr) {
    SetLastError(static_cast<DWORD>(E_INVALIDARG));
    return false;
  }
  CMemoryKey* node = m_pMemoryKey->OpenSubKey(subKey, access);
  if (node == nullptr) return false;
  m_pMemoryKey = node;
  return true;
}

bool CRegistryKey::QueryValue(const char16_t* name, char16_t* buffer, DWORD capacity, DWORD* byteCount) {
  BYTE* const data = reinterpret_cast<BYTE*>(buffer);
  if (m_hKey == nullptr) {
    DWORD bytes = ByteSize(capacity);
    const LONG status = QueryMemoryValue(name, data, &bytes, nullptr);
    if (byteCount != nullptr) *byteCount = bytes;
    return status == ERROR_SUCCESS;
  }
  if (byteCount != nullptr) *byteCount = ByteSize(capacity);
  const LONG result = RegQueryValueExW(m_hKey, name, nullptr, nullptr, data, byteCount);
  if (result != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(result));
    return false;
  }
  return true;
}

LONG CRegistryKey::QueryMemoryValue(const char16_t* name, BYTE* data, DWORD* size, DWORD* type) {
  if (m_pMemoryKey == nullptr) {
    SetLastError(static_cast<DWORD>(STG_E_INVALIDNAME));
    return STG_E_INVALIDNAME;
  }
  if (name == nullptr || data == nullptr || size == nullptr) {
    SetLastError(static_cast<DWORD>(E_INVALIDARG));
    return E_INVALIDARG;
  }
  if (m_pMemoryKey->ReadValue(name, type, data, size)) return ERROR_SUCCESS;
  return static_cast<LONG>(GetLastError());
}
