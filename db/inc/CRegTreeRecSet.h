#pragma once
// The typed recordset over FileTree.
//
// CRegTreeRecSet holds one FileTree row in member buffers. For reading, columns 1 to 4
// are bound by position, so each fetch lands straight in them; for writing, the same
// buffers and the same 32-bit length/indicator slots say what to send. FileData, the
// fifth column, is a long field that is never bound for fetching: it is read with
// SQLGetData after each fetch and sent with SQLPutData at execution time.

#include <cstdint>
#include <string_view>

#include "CODBCTypedRecordset.h"
#include "FileIdentification.h"

class CRegTreeRecSet : public CODBCTypedRecordset {
 public:
  // The columns in result-set order, numbered from 1 as ODBC numbers them.
  enum Column : int {
    kFileIDColumn = 1,
    kFileNameColumn,
    kFileIdentificationColumn,
    kOperationTypeColumn,
    kFileDataColumn,
  };
  static constexpr int kColumnCount = 5;
  static constexpr int kBoundColumnCount = 4;
  static constexpr int kFileNameChars = 261;  // 260 characters and the NUL
  static constexpr int kFileIdentificationBytes = 1000;
  static constexpr int kFieldNameChars = 100;
  // A fetched value's buffer up to this size is kept for shorter values that follow.
  static constexpr uint32_t kKeptFileDataCapacity = 64 * 1024;

  CRegTreeRecSet(CODBCDatabase* database, unsigned long first, unsigned long second);
  ~CRegTreeRecSet() override;

  void PrepareGet() override;
  void PrepareSet() override;
  SQLRETURN BindLongFields() override;
  SQLRETURN UnbindLongFields() override;
  SQLRETURN GetLongFieldsData() override;
  SQLRETURN PutLongFieldsData() override;

  void InitFieldLengths() override;
  void InitFieldBindings() override;
  void InitFieldNames() override;
  [[nodiscard]] bool BindAllFields() override;
  const char16_t* GetFieldName(int index) override;
  HRESULT SetLongFieldData(const void* data, unsigned long length) override;
  void SetFieldValue(const char16_t* column, VARIANT value) override;
  CODBCTypedRecordset& CopyFrom(const CODBCTypedRecordset& other) override;
  [[nodiscard]] int GetRecordID() override;

  // Accessors. GetFileName never returns null; the identification is null while its
  // slot is negative (NULL, or set to be ignored).
  const char16_t* GetFileName() const { return m_fileName; }
  const uint8_t* GetFileIdentification() const;
  int GetFileIdentificationLength() const;
  int GetFileID() const { return m_fileID; }
  int GetOperationType() const { return m_operationType; }
  const uint8_t* GetFileData() const { return m_fileDataLength != 0 ? m_fileData : nullptr; }
  uint32_t GetFileDataLength() const { return m_fileDataLength; }

  // Setters: each writes the column's slot together with the value.
  void SetFileID(int value);
  void SetFileName(const char16_t* text);
  void SetOperationType(int value);
  void SetFileIdentification(const void* data, int length);
  bool SetFileIdentificationFromFile(const char16_t* path);
  int GetFieldIndex(const char16_t* columnName);

  // Builds a record from the file; uses no member state.
  bool BuildFileIdentification(const char16_t* path, FileIdentificationRecord* record);

  // The length/indicator slot of a column (a position 1..5): its capacity, what the last
  // fetch reported, or what a write is to send.
  int32_t FieldSlot(int position) const { return m_lengths[position - 1]; }
  // Whether the last fetch found the column NULL; its buffer then still holds what was
  // there before.
  bool IsNull(Column column) const { return FieldSlot(column) == SQL_NULL_DATA; }
  // The stored value was longer than the column's buffer (or the driver could not tell
  // its length): the buffer holds only its beginning.
  bool IsCut(Column column) const;
  // The name as fetched: its length is the driver's (embedded NULs included), at most the
  // 260 characters the buffer holds; empty for NULL.
  std::u16string_view GetFetchedFileName() const;
  bool IsFileIDNull() const { return IsNull(kFileIDColumn); }
  bool IsFileNameNull() const { return IsNull(kFileNameColumn); }

 private:
  void ReleaseFileData();
  int32_t& Slot(Column column) { return m_lengths[column - 1]; }
  int32_t Slot(Column column) const { return m_lengths[column - 1]; }

  int32_t m_fileID;
  char16_t m_fileName[kFileNameChars];
  uint8_t m_fileIdentification[kFileIdentificationBytes];
  int32_t m_operationType;
  uint8_t* m_fileData;
  uint32_t m_fileDataLength;
  uint32_t m_fileDataCapacity;  // what m_fileData holds; at least m_fileDataLength
  int32_t m_lengths[kColumnCount];
  char16_t m_fieldNames[kColumnCount][kFieldNameChars];
  uint8_t* m_fieldBuffers[kColumnCount];
  int32_t m_fieldTypes[kColumnCount];
};
