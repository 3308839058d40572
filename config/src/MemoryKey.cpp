#include "MemoryKey.h"

#include <cstring>
#include <utility>

#include "WideText.h"

namespace {

// The path walk creates a missing key when the access has any bit of KEY_WRITE. That
// includes READ_CONTROL, which KEY_READ carries as well: an open for reading creates too,
// while KEY_QUERY_VALUE alone does not.
constexpr REGSAM kCreatingAccess = READ_CONTROL | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

// A component is collected in a MAX_PATH buffer with its terminator.
constexpr std::size_t kComponentBuffer = CMemoryKey::kMaxComponentLength + 1;

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// Checked before the walk, so that a path refused for a long component creates nothing.
bool ComponentsFit(const char16_t* path) {
  std::size_t length = 0;
  for (; *path != 0; ++path) {
    length = IsSeparator(*path) ? 0 : length + 1;
    if (length > CMemoryKey::kMaxComponentLength) return false;
  }
  return true;
}

std::unique_ptr<BYTE[]> CopyBlock(const void* data, DWORD size) {
  if (size == 0) return nullptr;
  std::unique_ptr<BYTE[]> block(new BYTE[size]);
  std::memcpy(block.get(), data, size);
  return block;
}

}  // namespace

bool NoCaseLess::operator()(std::u16string_view a, std::u16string_view b) const noexcept {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t x = FoldAscii(a[i]);
    const char16_t y = FoldAscii(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

void CMemoryValue::Clear() noexcept {
  pData.reset();
  dwType = 0;
  cbData = 0;
}

CMemoryKey::~CMemoryKey() {
  // Children in ascending name order, each with its whole subtree before the next
  // sibling; then the value records with their data blocks.
  for (auto& entry : m_subKeys) entry.second.reset();
  m_subKeys.clear();
  for (auto& entry : m_values) {
    if (entry.second) entry.second->Clear();
    entry.second.reset();
  }
  m_values.clear();
}

CMemoryKey* CMemoryKey::FindSubKey(const char16_t* name) const {
  if (name == nullptr) return nullptr;
  const auto found = m_subKeys.find(std::u16string_view(name));
  return found == m_subKeys.end() ? nullptr : found->second.get();
}

CMemoryValue* CMemoryKey::FindValue(const char16_t* name) const {
  if (name == nullptr) return nullptr;
  const auto found = m_values.find(std::u16string_view(name));
  return found == m_values.end() ? nullptr : found->second.get();
}

CMemoryKey* CMemoryKey::CreateSubKey(const char16_t* name, bool replace) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const auto found = m_subKeys.find(std::u16string_view(name));
  if (found != m_subKeys.end() && found->second != nullptr && !replace) return found->second.get();

  // The new node is made before the old one goes: if making it fails, the entry still
  // refers to the old node, never to a destroyed one.
  auto fresh = std::make_unique<CMemoryKey>();
  CMemoryKey* const result = fresh.get();
  if (found == m_subKeys.end()) {
    m_subKeys.emplace(std::u16string(name), std::move(fresh));
  } else {
    const std::unique_ptr<CMemoryKey> old = std::exchange(found->second, std::move(fresh));
  }
  return result;
}

CMemoryKey* CMemoryKey::OpenSubKey(const char16_t* path, REGSAM access) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (*path == 0) return this;
  if (!ComponentsFit(path)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }

  CMemoryKey* current = this;
  const char16_t* p = path;
  for (;;) {
    char16_t component[kComponentBuffer];
    std::size_t length = 0;
    while (*p != 0 && !IsSeparator(*p) && length < kComponentBuffer - 1) component[length++] = *p++;
    component[length] = 0;
    if (*p != 0 && !IsSeparator(*p)) {  // cannot happen after ComponentsFit; never read on
      SetLastError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    if (*p != 0) ++p;  // one separator; an empty piece after the last one is no component

    CMemoryKey* next = current->FindSubKey(component);
    if (next == nullptr && (access & kCreatingAccess) != 0) next = current->CreateSubKey(component, true);
    if (next == nullptr) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    if (*p == 0) return next;
    current = next;
  }
}

bool CMemoryKey::ReadValue(const char16_t* name, DWORD* type, BYTE* data, DWORD* size) const {
  if (data == nullptr || size == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const CMemoryValue* value = FindValue(name);
  if (value == nullptr) {
    SetLastError(ERROR_NO_DATA);
    return false;
  }
  bool copied = true;
  if (*size < value->cbData) {
    if (*size > 0) std::memcpy(data, value->pData.get(), *size);
    SetLastError(ERROR_MORE_DATA);
    copied = false;
  } else if (value->cbData > 0) {
    std::memcpy(data, value->pData.get(), value->cbData);
  }
  *size = value->cbData;
  if (type != nullptr) *type = value->dwType;
  return copied;
}

bool CMemoryKey::SetValue(const char16_t* name, DWORD type, const void* data, DWORD size) {
  if (name == nullptr || (data == nullptr && size > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // Everything that may fail to allocate happens before the tree changes.
  std::unique_ptr<BYTE[]> block = CopyBlock(data, size);
  const auto found = m_values.find(std::u16string_view(name));
  if (found == m_values.end()) {
    auto record = std::make_unique<CMemoryValue>();
    record->dwType = type;
    record->cbData = size;
    record->pData = std::move(block);
    m_values.emplace(std::u16string(name), std::move(record));
    return true;
  }
  if (found->second == nullptr) found->second = std::make_unique<CMemoryValue>();
  CMemoryValue& record = *found->second;
  record.Clear();
  record.dwType = type;
  record.cbData = size;
  record.pData = std::move(block);
  return true;
}
