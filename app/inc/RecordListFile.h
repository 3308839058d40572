#pragma once
// "Vestrum.csv": the list of the rows that would be deleted, written before anything is.
// UTF-8 without BOM, the platform's text line ends, one line per row in fetch order:
// the name, and ",MM/DD/YYYY  HH:MM" when the row carries a 112-byte identification (the
// last-write time in UTC; nothing after the comma when the time has no calendar form).
//
// Writes are buffered; every failure (cannot create, a short write, a failed close) is
// remembered with its reason, so the run can refuse to delete what it could not list.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

class CRecordListFile {
 public:
  CRecordListFile() = default;
  ~CRecordListFile();
  CRecordListFile(const CRecordListFile&) = delete;
  CRecordListFile& operator=(const CRecordListFile&) = delete;

  // Creates or truncates the file and writes the header line.
  [[nodiscard]] bool Open(const char* path);
  // name is the whole of what was fetched (embedded NULs included); nameCut says that the
  // stored name was longer than what was fetched.
  void WriteRow(std::u16string_view name, bool nameCut, const uint8_t* identification, int identificationLength);
  // Flushes and closes; false when anything written since Open was lost.
  [[nodiscard]] bool Close();

  bool Failed() const { return m_failed; }
  const std::string& FailureReason() const { return m_reason; }

 private:
  void AppendWriteTime(const uint8_t* record);
  void Append(const char* text, std::size_t size);
  void FlushBuffer();
  void Fail(int error);

  std::FILE* m_file = nullptr;
  std::string m_buffer;
  std::string_view m_lineEnd;
  bool m_failed = false;
  std::string m_reason;
};
