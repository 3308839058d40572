#pragma once
// A file written whole under a new name and then put in place of its final name: what
// the name held before stays exactly as it was until the new file is complete and on
// disk, and afterwards the name can be checked to still hold what was written.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The steps, each false on failure with the reason in words (Reason()):
//   Create   refuses a final name that holds something other than a regular file (a
//            symbolic link, a FIFO, a device: kNotARegularFile; a directory) or a
//            read-only file, and creates a new file beside it, exclusively, with the
//            permissions of any new file of the user's;
//   Write    writes all of the bytes;
//   Commit   flushes the file to disk, renames it over the final name in one step (a
//            hard link or a backup that shares the old file keeps the old contents) and
//            flushes the directory;
//   IsInPlace, after Commit: the final name still leads to the file written, with the
//            size it was written with (not removed, renamed, replaced or cut since).
// A failure before the rename removes the new file and leaves the final name as it was;
// so do Abandon and destroying the object before Commit. After Commit the file stays
// open until the object is destroyed: on Windows in a share mode that keeps other
// programs from changing, removing or renaming it.
class CReplacementFile {
 public:
  CReplacementFile();
  ~CReplacementFile();
  CReplacementFile(const CReplacementFile&) = delete;
  CReplacementFile& operator=(const CReplacementFile&) = delete;

  [[nodiscard]] bool Create(const char* path);
  [[nodiscard]] bool Write(const char* data, std::size_t size);
  [[nodiscard]] bool Commit();
  [[nodiscard]] bool IsInPlace();
  // Gives the new file up before Commit: it is removed, the final name left as it was.
  void Abandon();

  const std::string& Reason() const { return m_reason; }
  // The new file's name while it is being written (empty before Create and after Commit).
  const std::string& TemporaryPath() const { return m_temporary; }

 private:
  bool Fail(const std::string& reason);

  // The platform's owners of what is open: the file, and on POSIX its directory.
  struct Handles;

  std::string m_path;
  std::string m_temporary;
  std::string m_reason;
  std::unique_ptr<Handles> m_handles;
  uint64_t m_written = 0;
  bool m_committed = false;
};

// The reason given for a name that holds something other than a regular file.
extern const char* const kNotARegularFile;
