#pragma once
// "Vestrum.csv": the list of the rows that would be deleted, written before anything is.
// UTF-8 without BOM, the platform's text line ends, one line per row in fetch order:
// the name, and ",MM/DD/YYYY  HH:MM" when the row carries a 112-byte identification (the
// last-write time in UTC; nothing after the comma when the time has no calendar form).
//
// A name is written so that it shows as what it is, on one line: see VisibleText.h; a
// name that was cut ends with kVisibleCutMark.
//
// The list is written to a new file without a name and put in place of "Vestrum.csv"
// only when it is complete and on disk: until then, and after any failure, what had that
// name stays as it was, and nothing of the new file outlives the process. Writes are
// buffered; every failure (cannot create, a short write, the flush or the rename) is
// remembered with its reason, so the run can refuse to delete what it could not list.
// The file stays open until the object goes, so that the run can check it is still the
// list the operator was shown, byte for byte.

#include <cstdint>
#include <string>
#include <string_view>

#include "RegularFile.h"
#include "SipHash.h"

class CRecordListFile {
 public:
  CRecordListFile() = default;
  CRecordListFile(const CRecordListFile&) = delete;
  CRecordListFile& operator=(const CRecordListFile&) = delete;

  // Begins the new file and writes the header line.
  [[nodiscard]] bool Open(const char* path);
  // name is the whole of what was fetched (embedded NULs included); nameCut says that the
  // stored name was longer than what was fetched.
  void WriteRow(std::u16string_view name, bool nameCut, const uint8_t* identification, int identificationLength);
  // The same for a name given as its stored UTF-8 bytes.
  void WriteRow(std::string_view storedName, bool nameCut, const uint8_t* identification, int identificationLength);
  // Writes what is buffered and puts the file in place of path; false when anything
  // written since Open was lost (what path held is then as it was).
  [[nodiscard]] bool Close();
  // After Close: path still holds the file written, as written. False with the reason.
  [[nodiscard]] bool IsInPlace();
  // Instead of Close: the list is not complete. What path held stays as it was.
  void Abandon();

  // After a failed Close: the list is in place all the same, only its folder could not be
  // flushed to disk (so a crash of the system could still lose it).
  bool IsInPlaceUnflushed() const { return m_failed && m_file.IsCommitted(); }
  bool Failed() const { return m_failed; }
  const std::string& FailureReason() const { return m_reason; }

 private:
  void AppendWriteTime(const uint8_t* record);
  void EndRow(bool nameCut, const uint8_t* identification, int identificationLength);
  void Append(const char* text, std::size_t size);
  void FlushBuffer();
  void Fail();

  CReplacementFile m_file;
  // Everything written, under a key drawn for this list alone: at "yes" the file is read
  // back and must give the same, so no rewrite passes, however quick or however sized.
  CSipHash::Key m_key;
  CSipHash m_writtenHash{CSipHash::Key{}};
  uint64_t m_size = 0;
  bool m_open = false;
  std::string m_buffer;
  std::string_view m_lineEnd;
  bool m_failed = false;
  std::string m_reason;
};
