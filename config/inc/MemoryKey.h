#pragma once
// A tree of named keys with named values, held in memory and addressed like the registry.
// A node owns its child nodes and its value records; a record owns its data block;
// destroying a node releases its whole subtree. Whoever constructs a node that is no
// one's child (a root) owns it. Nothing here knows the key objects that stand on a node.
//
// Failures are a null or false result with the thread's last error set. Running out of
// memory is not caught: std::bad_alloc reaches the caller, and leaves the tree as it was.

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "Win32Types.h"

// Orders names as _wcsicmp does: ASCII letters without regard to case, every other code
// unit by its value, a prefix before the longer name. Names equal under it are one name.
struct NoCaseLess {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const noexcept;
};

// One value: its registry type, never interpreted here, and its data.
struct CMemoryValue {
  DWORD dwType = REG_NONE;
  DWORD cbData = 0;
  std::unique_ptr<BYTE[]> pData;  // may be null when cbData is 0

  // Frees the data block; the record is then an empty value of type 0.
  void Clear() noexcept;
};

class CMemoryKey {
 public:
  using SubKeyMap = std::map<std::u16string, std::unique_ptr<CMemoryKey>, NoCaseLess>;
  using ValueMap = std::map<std::u16string, std::unique_ptr<CMemoryValue>, NoCaseLess>;

  // The longest path component, in characters; longer ones are refused.
  static constexpr std::size_t kMaxComponentLength = 259;

  CMemoryKey() = default;
  ~CMemoryKey();
  CMemoryKey(const CMemoryKey&) = delete;
  CMemoryKey& operator=(const CMemoryKey&) = delete;

  // The child or value of that name, or null. Null names find nothing.
  CMemoryKey* FindSubKey(const char16_t* name) const;
  CMemoryValue* FindValue(const char16_t* name) const;

  // The child of that name: without replace the existing one if there is one; otherwise a
  // new empty node, which with replace takes the place (and the name's letter case) of
  // the existing child, destroying that child's subtree. Null (ERROR_INVALID_PARAMETER)
  // for a null name.
  CMemoryKey* CreateSubKey(const char16_t* name, bool replace);

  // The node that path leads to from here. Backslash and slash both separate; an empty
  // path is this node. A missing component is created when access has any bit of
  // KEY_WRITE (READ_CONTROL included, so KEY_READ creates too), else the walk fails with
  // ERROR_FILE_NOT_FOUND at it. A path with a component longer than kMaxComponentLength
  // fails the same way before anything is created. Null path: ERROR_INVALID_PARAMETER.
  CMemoryKey* OpenSubKey(const char16_t* path, REGSAM access);

  // Copies the value into data (*size bytes of room) and sets *size to the value's size
  // and *type (if asked) to its type. Absent value: ERROR_NO_DATA, *size and *type left
  // alone. Too small a buffer: ERROR_MORE_DATA after copying what fits, *size and *type
  // set as on success. Null data or size: ERROR_INVALID_PARAMETER, nothing written.
  [[nodiscard]] bool ReadValue(const char16_t* name, DWORD* type, BYTE* data, DWORD* size) const;

  // Adds the value, or replaces the data and type of the value of that name (whose name
  // keeps its letter case). The record gets its own copy of the bytes. Null name, or null
  // data with a non-zero size: ERROR_INVALID_PARAMETER and nothing changes.
  [[nodiscard]] bool SetValue(const char16_t* name, DWORD type, const void* data, DWORD size);

  const SubKeyMap& SubKeys() const noexcept { return m_subKeys; }
  const ValueMap& Values() const noexcept { return m_values; }

 private:
  SubKeyMap m_subKeys;
  ValueMap m_values;
};
