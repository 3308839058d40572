#include "CODBCTypedRecordset.h"

#include "Win32File.h"

CODBCTypedRecordset::CODBCTypedRecordset(CODBCDatabase* database, unsigned long first, unsigned long second)
    : CODBCRecordset(database, first, second, first != kReadOnlyCursor ? 1 : 0) {}

CODBCTypedRecordset::~CODBCTypedRecordset() = default;

int CODBCTypedRecordset::BindFields() {
  const int r = CODBCRecordset::BindFields();
  if (r != SQL_SUCCESS && r != SQL_SUCCESS_WITH_INFO) return SQL_ERROR;
  InitFieldLengths();
  InitFieldBindings();
  m_bFieldsBound = false;
  m_bFieldsBound = BindAllFields();
  return SQL_SUCCESS_WITH_INFO;
}

void CODBCTypedRecordset::InitFieldLengths() {}
void CODBCTypedRecordset::InitFieldBindings() {}
void CODBCTypedRecordset::InitFieldNames() {}
bool CODBCTypedRecordset::BindAllFields() { return false; }
const char16_t* CODBCTypedRecordset::GetFieldName(int) { return nullptr; }
HRESULT CODBCTypedRecordset::SetLongFieldData(const void*, unsigned long) { return S_OK; }
bool CODBCTypedRecordset::SetRecordID(int) { return false; }
void CODBCTypedRecordset::SetFieldValue(const char16_t*, VARIANT) {}
bool CODBCTypedRecordset::LoadLongFieldFromFile(const char16_t* path) {
  if (path == nullptr || path[0] == 0) return false;
  const UniqueFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return false;
  const UniqueMappingHandle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping) return false;
  const UniqueMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
  if (!view) return false;
  // The size is taken once the view exists, and never more than the view holds: a file
  // that shrank or grew since it was opened must not make the copy read past the view.
  MEMORY_BASIC_INFORMATION region = {};
  if (VirtualQuery(view.get(), &region, sizeof region) == 0) return false;
  DWORD high = 0;
  SetLastError(ERROR_SUCCESS);
  const DWORD size = GetFileSize(file.get(), &high);
  // A value of 4 GiB or more cannot be held by the 32-bit length: refuse it rather than
  // store its first bytes as if they were all of it.
  if (high != 0 || (size == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS)) return false;
  const SIZE_T mapped = region.RegionSize;
  (void)SetLongFieldData(view.get(), static_cast<unsigned long>(size < mapped ? size : mapped));
  return true;
}

CODBCTypedRecordset& CODBCTypedRecordset::CopyFrom(const CODBCTypedRecordset&) { return *this; }
int CODBCTypedRecordset::GetRecordID() { return 0; }
