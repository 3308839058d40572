#include "CRegTreeRecSet.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "Assert.h"
#include "Win32Format.h"

namespace {

constexpr char16_t kFieldNames[CRegTreeRecSet::kColumnCount][20] = {
    u"FileID", u"FileName", u"FileIdentification", u"OperationType", u"FileData"};

int32_t ToSlot(SQLLEN value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

CRegTreeRecSet::CRegTreeRecSet(CODBCDatabase* database, unsigned long first, unsigned long second)
    : CODBCTypedRecordset(database, first, second),
      m_fileID(0),
      m_fileName{},
      m_fileIdentification{},
      m_operationType(0),
      m_fileData(nullptr),
      m_fileDataLength(0),
      m_fileDataCapacity(0),
      // The FileData slot says NULL until a value is set or fetched.
      m_lengths{0, 0, 0, 0, SQL_NULL_DATA},
      m_fieldNames{},
      m_fieldBuffers{},
      m_fieldTypes{} {
  // Not through the virtual table: the object is still being built.
  CRegTreeRecSet::PrepareGet();
}

CRegTreeRecSet::~CRegTreeRecSet() { ReleaseFileData(); }

void CRegTreeRecSet::ReleaseFileData() {
  delete[] m_fileData;
  m_fileData = nullptr;
  m_fileDataLength = 0;
  m_fileDataCapacity = 0;
}

void CRegTreeRecSet::PrepareGet() {
  CODBCRecordset::PrepareGet();
  InitFieldLengths();
  InitFieldNames();
  m_fileID = 0;
  std::memset(m_fileName, 0, sizeof m_fileName);
  std::memset(m_fileIdentification, 0, sizeof m_fileIdentification);
  m_operationType = 0;
}

void CRegTreeRecSet::PrepareSet() {
  CODBCRecordset::PrepareSet();
  for (int32_t& slot : m_lengths) slot = SQL_IGNORE;
  InitFieldNames();
  InitFieldBindings();
}

void CRegTreeRecSet::InitFieldLengths() {
  Slot(kFileIDColumn) = sizeof m_fileID;
  Slot(kFileNameColumn) = sizeof m_fileName;
  Slot(kFileIdentificationColumn) = sizeof m_fileIdentification;
  Slot(kOperationTypeColumn) = sizeof m_operationType;
}

void CRegTreeRecSet::InitFieldBindings() {
  m_nFields = kBoundColumnCount;
  m_fieldBuffers[0] = reinterpret_cast<uint8_t*>(&m_fileID);
  m_fieldBuffers[1] = reinterpret_cast<uint8_t*>(m_fileName);
  m_fieldBuffers[2] = m_fileIdentification;
  m_fieldBuffers[3] = reinterpret_cast<uint8_t*>(&m_operationType);
  m_fieldTypes[0] = SQL_C_LONG;
  m_fieldTypes[1] = SQL_C_WCHAR;
  m_fieldTypes[2] = SQL_C_BINARY;
  m_fieldTypes[3] = SQL_C_LONG;
}

void CRegTreeRecSet::InitFieldNames() {
  m_nFields = kColumnCount;
  for (int i = 0; i < kColumnCount; ++i) {
    std::memset(m_fieldNames[i], 0, sizeof m_fieldNames[i]);
    std::memcpy(m_fieldNames[i], kFieldNames[i], std::char_traits<char16_t>::length(kFieldNames[i]) * sizeof(char16_t));
  }
}

bool CRegTreeRecSet::BindAllFields() {
  for (int p = 1; p <= m_nFields && p <= kColumnCount; ++p) {
    const int r = BindField(p, m_fieldBuffers[p - 1], static_cast<SQLSMALLINT>(m_fieldTypes[p - 1]), &m_lengths[p - 1]);
    if (r != SQL_SUCCESS && r != SQL_SUCCESS_WITH_INFO) return false;
  }
  return true;
}

const char16_t* CRegTreeRecSet::GetFieldName(int index) {
  ASSERT(index >= 0 && index < m_nFields, kAssertLineGetFieldName);
  // Past the five names there is nothing to give; an empty name is safer to compare or
  // print than a null pointer.
  if (index < 0 || index >= kColumnCount) return u"";
  return m_fieldNames[index];
}

int CRegTreeRecSet::GetRecordID() { return m_fileID; }

const uint8_t* CRegTreeRecSet::GetFileIdentification() const {
  return Slot(kFileIdentificationColumn) < 0 ? nullptr : m_fileIdentification;
}

int CRegTreeRecSet::GetFileIdentificationLength() const {
  const int32_t length = Slot(kFileIdentificationColumn);
  return length < 0 ? 0 : length;
}

bool CRegTreeRecSet::IsCut(Column column) const {
  const int32_t slot = Slot(column);
  if (slot == SQL_NO_TOTAL) return true;
  switch (column) {
    case kFileNameColumn:
      return slot > static_cast<int32_t>(sizeof m_fileName - sizeof m_fileName[0]);  // room for the NUL
    case kFileIdentificationColumn:
      return slot > static_cast<int32_t>(sizeof m_fileIdentification);
    default:
      return false;
  }
}

std::u16string_view CRegTreeRecSet::GetFetchedFileName() const {
  constexpr std::size_t kMaxChars = kFileNameChars - 1;
  // A value cut to the buffer (or of a length the driver could not tell) fills it.
  if (IsCut(kFileNameColumn)) return std::u16string_view(m_fileName, kMaxChars);
  const int32_t slot = Slot(kFileNameColumn);
  if (slot < 0) return std::u16string_view();  // NULL
  return std::u16string_view(m_fileName, std::min(static_cast<std::size_t>(slot) / sizeof(char16_t), kMaxChars));
}

SQLRETURN CRegTreeRecSet::BindLongFields() {
  // One SQLBindCol, made through the library so that its writes know the long field.
  return BindLongField(kFileDataColumn, m_fileData, static_cast<SQLLEN>(m_fileDataLength), &Slot(kFileDataColumn));
}

SQLRETURN CRegTreeRecSet::UnbindLongFields() { return BindLongField(kFileDataColumn, nullptr, 0, nullptr); }

SQLRETURN CRegTreeRecSet::GetLongFieldsData() {
  // A result that leaves out the long field (a reading of the four other columns only)
  // has no value for it. A write from such a row leaves the column alone, since the
  // library writes only the result's own columns.
  if (ResultColumns() < kFileDataColumn) {
    Slot(kFileDataColumn) = SQL_NULL_DATA;
    return SQL_SUCCESS;
  }
  // Probe for the length: nothing is copied, the indicator receives the total length.
  uint8_t probe = 0;
  SQLLEN indicator = 0;
  SQLRETURN rc = SQLGetData(HookStatement(), kFileDataColumn, SQL_C_BINARY, &probe, 0, &indicator);
  Slot(kFileDataColumn) = ToSlot(indicator);
  if (!SqlSucceeded(rc)) return rc;
  // NULL, empty, or a driver that cannot tell the length (SQL_NO_TOTAL): the buffer keeps
  // the previous value and the slot says which case applies.
  if (indicator <= 0) return rc;
  if (static_cast<uint64_t>(indicator) > UINT32_MAX) {
    ReleaseFileData();
    return SQL_INVALID_HANDLE;
  }
  const auto length = static_cast<uint32_t>(indicator);
  // Values of every length follow each other in a listing: a buffer that is large enough
  // is reused, so a walk allocates only when a value is longer than all before it. One
  // far larger than the value is given back, so that a single huge value does not hold
  // its memory for the rest of the walk.
  const bool fits = m_fileData != nullptr && length <= m_fileDataCapacity &&
                    (m_fileDataCapacity <= kKeptFileDataCapacity || length >= m_fileDataCapacity / 2);
  if (!fits) {
    ReleaseFileData();
    m_fileData = new (std::nothrow) uint8_t[length];
    if (m_fileData == nullptr) return SQL_INVALID_HANDLE;
    m_fileDataCapacity = length;
  }
  m_fileDataLength = length;
  rc = SQLGetData(HookStatement(), kFileDataColumn, SQL_C_BINARY, m_fileData, static_cast<SQLLEN>(m_fileDataLength), &indicator);
  Slot(kFileDataColumn) = ToSlot(indicator);
  return rc;
}

SQLRETURN CRegTreeRecSet::PutLongFieldsData() {
  // Each data-at-execution column asks once; a statement that keeps asking for data we
  // cannot recognise is cancelled rather than looped on.
  constexpr int kMaxRequests = 64;
  SQLPOINTER token = nullptr;
  SQLRETURN rc = SQLParamData(HookStatement(), &token);
  for (int requests = 0; rc == SQL_NEED_DATA; ++requests) {
    if (requests >= kMaxRequests) {
      SQLCancel(HookStatement());
      return SQL_ERROR;
    }
    if (token == m_fileData && m_fileData != nullptr) {
      rc = SQLPutData(HookStatement(), m_fileData, static_cast<SQLLEN>(m_fileDataLength));
      if (!SqlSucceeded(rc)) return rc;
    }
    rc = SQLParamData(HookStatement(), &token);
  }
  return rc;
}

HRESULT CRegTreeRecSet::SetLongFieldData(const void* data, unsigned long length) {
  // The new value is copied before the old buffer is freed: data may be that buffer
  // (SetLongFieldData(GetFileData(), GetFileDataLength())).
  uint8_t* copy = nullptr;
  HRESULT status = S_OK;
  // The slot says -(length) - 100, which must fit in 32 bits.
  if (length != 0 && data != nullptr) {
    if (length <= static_cast<unsigned long>(INT32_MAX - 100)) copy = new (std::nothrow) uint8_t[length];
    if (copy == nullptr) {
      status = E_OUTOFMEMORY;
    } else {
      std::memcpy(copy, data, length);
    }
  }
  ReleaseFileData();
  Slot(kFileDataColumn) = SQL_NULL_DATA;
  if (copy == nullptr) return status;
  m_fileData = copy;
  m_fileDataLength = static_cast<uint32_t>(length);
  m_fileDataCapacity = m_fileDataLength;
  Slot(kFileDataColumn) = SQL_LEN_DATA_AT_EXEC(static_cast<int32_t>(length));
  return S_OK;
}


bool CRegTreeRecSet::BuildFileIdentification(const char16_t* path, FileIdentificationRecord* record) {
  ASSERT(path != nullptr, kAssertLineBuildFileIdentification);
  return BuildFileIdentificationRecord(path, record);
}

void CRegTreeRecSet::SetFileIdentification(const void* data, int length) {
  ASSERT(length == static_cast<int>(kFileIdentificationSize), kAssertLineSetFileIdentification);
  std::memset(m_fileIdentification, 0, sizeof m_fileIdentification);
  if (data == nullptr) return;
  Slot(kFileIdentificationColumn) = length;
  // A longer value is stored cut to the field; the slot still tells its full length.
  const int copy = length < 0 ? 0 : (length > kFileIdentificationBytes ? kFileIdentificationBytes : length);
  std::memcpy(m_fileIdentification, data, static_cast<std::size_t>(copy));
}

bool CRegTreeRecSet::SetFileIdentificationFromFile(const char16_t* path) {
  FileIdentificationRecord record = {};
  const bool built = BuildFileIdentification(path, &record);
  SetFileIdentification(&record, sizeof record);
  return built;
}


void CRegTreeRecSet::SetFileID(int value) {
  Slot(kFileIDColumn) = sizeof m_fileID;
  m_fileID = value;
}

void CRegTreeRecSet::SetOperationType(int value) {
  Slot(kOperationTypeColumn) = sizeof m_operationType;
  m_operationType = value;
}

void CRegTreeRecSet::SetFileName(const char16_t* text) {
  std::memset(m_fileName, 0, sizeof m_fileName);
  if (text == nullptr || text[0] == 0) return;
  std::size_t n = 0;
  while (n < kFileNameChars - 1 && text[n] != 0) ++n;  // at most 260: the last unit stays the NUL
  Slot(kFileNameColumn) = static_cast<int32_t>(n * sizeof(char16_t));
  std::memcpy(m_fileName, text, n * sizeof(char16_t));
}

int CRegTreeRecSet::GetFieldIndex(const char16_t* columnName) {
  if (columnName == nullptr) return -1;
  for (int i = 0; i < m_nFields; ++i) {
    if (lstrcmpW(GetFieldName(i), columnName) == 0) return i;
  }
  return -1;
}

void CRegTreeRecSet::SetFieldValue(const char16_t* column, VARIANT value) {
  const int index = GetFieldIndex(column);
  const bool sourceName = index == -1 && column != nullptr && lstrcmpW(column, u"SourceName") == 0;
  ASSERT(sourceName || (index >= 0 && index < m_nFields), kAssertLineSetFieldValue);
  // Nothing outside the four bound fields is ever written: not for a name that is no
  // column, not for FileData (which has no bound buffer), not before the bindings exist.
  if (!sourceName &&
      (index < 0 || index >= kBoundColumnCount || index >= m_nFields || m_fieldBuffers[index] == nullptr)) {
    return;
  }

  VARIANT converted;
  VariantInit(&converted);
  if (!sourceName && m_fieldTypes[index] == SQL_C_LONG) {
    // A value that cannot be converted leaves the field as it was; the column is still
    // marked as set.
    if (SUCCEEDED(VariantChangeType(&converted, &value, 0, VT_UINT))) {
      const uint32_t v = converted.uintVal;
      std::memcpy(m_fieldBuffers[index], &v, sizeof v);
    }
    m_lengths[index] = sizeof(int32_t);
    (void)VariantClear(&converted);
    return;
  }

  // The string paths read a BSTR: a value of another type is converted to one first, and
  // one that has no text form (VT_NULL, an object) is refused, the field left as it was.
  const char16_t* text = nullptr;
  if (value.vt == VT_BSTR) {
    text = BstrText(value.bstrVal);  // a null BSTR is the empty string
  } else if (SUCCEEDED(VariantChangeType(&converted, &value, 0, VT_BSTR))) {
    text = BstrText(converted.bstrVal);
  } else {
    (void)VariantClear(&converted);
    return;
  }
  if (sourceName) {
    // The file-derived columns, from the file the value names. The path itself is not
    // stored anywhere.
    (void)SetFileIdentificationFromFile(text);
    if (!LoadLongFieldFromFile(text)) (void)SetLongFieldData(nullptr, 0);
  } else {
    const std::size_t capacityChars =
        (index == 1 ? sizeof m_fileName : sizeof m_fileIdentification) / sizeof(char16_t);
    std::size_t n = 0;
    if (text != nullptr) {
      while (n < capacityChars - 1 && text[n] != 0) ++n;
    }
    auto* target = reinterpret_cast<char16_t*>(m_fieldBuffers[index]);
    if (n > 0) std::memcpy(target, text, n * sizeof(char16_t));
    target[n] = 0;
    m_lengths[index] = static_cast<int32_t>((n + 1) * sizeof(char16_t));
  }
  (void)VariantClear(&converted);
}

CODBCTypedRecordset& CRegTreeRecSet::CopyFrom(const CODBCTypedRecordset& base) {
  const auto* other = dynamic_cast<const CRegTreeRecSet*>(&base);
  if (other == nullptr) return *this;
  // A fetched NULL (or empty long value) leaves the buffer as the previous row left it;
  // the slot is what tells, so a NULL arrives as no data rather than as that row's value.
  const int32_t dataSlot = other->Slot(kFileDataColumn);
  const bool noData = dataSlot == SQL_NULL_DATA || dataSlot == 0 || dataSlot == SQL_NO_TOTAL;
  const char16_t* name = other->IsFileNameNull() ? nullptr : other->GetFileName();
  const uint8_t* identification = other->GetFileIdentification();
  const uint8_t* data = noData ? nullptr : other->GetFileData();
  const unsigned long dataLength = noData ? 0 : other->GetFileDataLength();
  // Copying a record onto itself must leave it intact: the name and identification
  // setters clear their field before they write, so those values are taken out first.
  std::u16string ownName;
  std::vector<uint8_t> ownIdentification;
  if (other == this) {
    if (name != nullptr) name = (ownName = name).c_str();
    if (identification != nullptr) {
      ownIdentification.assign(identification, identification + sizeof m_fileIdentification);
      identification = ownIdentification.data();
    }
  }
  const int identificationLength = other->GetFileIdentificationLength();
  const int32_t fileID = other->GetFileID(), operationType = other->GetOperationType();

  // The integers are held by value; a NULL one arrives as 0 and stays NULL in the copy.
  const bool nullID = other->IsFileIDNull(), nullOperationType = other->IsNull(kOperationTypeColumn);
  const int32_t nameSlot = other->Slot(kFileNameColumn);
  SetFileID(nullID ? 0 : fileID);
  if (nullID) Slot(kFileIDColumn) = SQL_NULL_DATA;
  SetFileName(name);
  // A name fetched longer than the buffer arrived cut: the copy keeps its length, so that
  // a write refuses it rather than store it cut.
  if (nameSlot > static_cast<int32_t>(sizeof m_fileName)) Slot(kFileNameColumn) = nameSlot;
  SetFileIdentification(identification, identificationLength);
  SetOperationType(nullOperationType ? 0 : operationType);
  if (nullOperationType) Slot(kOperationTypeColumn) = SQL_NULL_DATA;
  (void)SetLongFieldData(data, dataLength);
  return *this;
}
