#pragma once
// The general layer of a typed recordset: it turns the library's BindFields hook into a
// fixed sequence of typed-field hooks (capacities, buffers and target types, names,
// binding) and adds the operations every typed recordset offers; its own hooks do
// nothing.

#include "Win32Variant.h"
#include "strandlink.h"

class CODBCTypedRecordset : public CODBCRecordset {
 public:
  // What the constructor's first argument asks of the library: a read-only forward
  // cursor, or (any other value) an updatable one. The second carries options; none is
  // defined.
  static constexpr unsigned long kReadOnlyCursor = 1;
  static constexpr unsigned long kNoOptions = 0;

  CODBCTypedRecordset(CODBCDatabase* database, unsigned long first, unsigned long second);
  ~CODBCTypedRecordset() override;

  [[nodiscard]] int BindFields() override;

  // The typed hooks, in this order after the library's.
  virtual void InitFieldLengths();
  virtual void InitFieldBindings();
  virtual void InitFieldNames();
  [[nodiscard]] virtual bool BindAllFields();
  virtual const char16_t* GetFieldName(int index);
  virtual HRESULT SetLongFieldData(const void* data, unsigned long length);
  // Recordsets whose identifier is not an ordinary column would set it here; none does.
  // Its slot among the virtual operations stays, for the row model's callers.
  [[nodiscard]] virtual bool SetRecordID(int id);
  [[nodiscard]] virtual bool LoadLongFieldFromFile(const char16_t* path);
  virtual void SetFieldValue(const char16_t* column, VARIANT value);
  virtual CODBCTypedRecordset& CopyFrom(const CODBCTypedRecordset& other);
  [[nodiscard]] virtual int GetRecordID();
};
