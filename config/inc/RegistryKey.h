#pragma once
// The key object through which settings are read: it starts on a root, descends one
// relative path per Open, and reads values into the caller's buffers. While it holds a
// registry handle it works on the registry; without one, on the node of an in-memory key
// tree it stands on (see MemoryKey.h), and with neither every call fails with
// STG_E_INVALIDNAME.
//
// A failed Open leaves the object on the key it was on. Failures set the thread's last
// error; successes leave it alone. Neither backing appends a terminator to what it copies.
// The object owns only the registry key it opened last and closes it when destroyed; the
// root it was given, and any tree node, are never closed or freed by it.

#include "Win32Registry.h"
#include "Win32Types.h"

class CMemoryKey;

class CRegistryKey {
 public:
  // On a registry root: a predefined key such as HKEY_LOCAL_MACHINE, any open key (which
  // stays the caller's to close), or null for no backing at all.
  explicit CRegistryKey(HKEY root) noexcept;
  // On the root node of an in-memory tree, which must outlive the object.
  explicit CRegistryKey(CMemoryKey& treeRoot) noexcept;
  virtual ~CRegistryKey();
  CRegistryKey(const CRegistryKey&) = delete;
  CRegistryKey& operator=(const CRegistryKey&) = delete;

  // Descends into subKey, relative to the current key. The registry reads subKey (only
  // the backslash separates there); the tree walks it as CMemoryKey::OpenSubKey does, so
  // an access with write or READ_CONTROL bits creates missing nodes. *status, if given,
  // receives the result code: the registry's, or for the tree 0 or the last error set.
  [[nodiscard]] bool Open(const char16_t* subKey, REGSAM access, LONG* status = nullptr);

  // Copies the value called name into buffer, which holds capacity characters, whatever
  // its type. *byteCount, if given, receives the value's size in bytes when it was found
  // (also when it did not fit), otherwise the buffer's size. A value larger than the
  // buffer fails with ERROR_MORE_DATA: the tree copies what fits first, the registry
  // nothing. With the registry, byteCount is the registry's size argument as it stands: a
  // null byteCount makes a read fail (ERROR_INVALID_PARAMETER), a null buffer asks only
  // for the size.
  [[nodiscard]] bool QueryValue(const char16_t* name, char16_t* buffer, DWORD capacity, DWORD* byteCount = nullptr);

 private:
  [[nodiscard]] bool OpenRegistryKey(const char16_t* subKey, REGSAM access, LONG* status);
  [[nodiscard]] bool OpenMemoryKey(const char16_t* subKey, REGSAM access);
  [[nodiscard]] LONG QueryMemoryValue(const char16_t* name, BYTE* data, DWORD* size, DWORD* type);

  HKEY m_hKey;                    // the key the object stands on: the root, or m_ownedKey
  UniqueRegistryKey m_ownedKey;   // the key it opened last, if any
  CMemoryKey* m_pMemoryKey;
};
