#pragma once
// A file written whole without a name, and then put in place of its final name: what the
// name held before stays exactly as it was until the new file is complete and on disk,
// and afterwards the name can be checked to still hold what was written. Until it is put
// in place, nothing of it can outlive the process, however the process ends.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The steps, each false on failure with the reason in words (Reason()):
//   Create   refuses a final name that holds something other than a regular file (a
//            symbolic link, a FIFO, a device: kNotARegularFile; a directory) or a
//            read-only file, and begins a new file beside it that has no name of its own
//            yet (Linux: O_TMPFILE; where the file system has none, a new name made
//            exclusively, removed again if a signal ends the process; Windows: a new
//            name marked for deletion when its handle closes). It takes the permissions
//            (and, where permitted, the group) of the file it will replace, or those of
//            any new file of the user's;
//   Write    writes all of the bytes;
//   Commit   flushes the file to disk, puts it in place of the final name in one step (a
//            hard link or a backup that shares the old file keeps the old contents) and
//            flushes the folder. False also when only the folder's flush failed: the new
//            file is then in place (IsCommitted), which the caller must say;
//   IsInPlace, after Commit: the final name still leads to the file written, with the
//            size and the change time it had when it was put in place (not removed,
//            renamed, replaced, cut or rewritten since).
// A failure before the file is in place gives it up and leaves the final name as it was;
// so do Abandon and destroying the object before Commit: giving it up is closing it.
// After Commit the file stays open until the object is destroyed: on Windows in a share
// mode that keeps other programs from changing, removing or renaming it.
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
  // After Commit: reads exactly `size` bytes at `offset` of the file put in place (through
  // the handle that holds it, whatever its name leads to now). False if it cannot.
  [[nodiscard]] bool ReadBack(uint64_t offset, char* data, std::size_t size);
  // Gives the new file up before Commit: the final name is left as it was. Allocates
  // nothing and calls only what a signal handler may call.
  void Abandon();

  // The new file is in place of the final name (Commit got that far).
  bool IsCommitted() const { return m_committed; }
  const std::string& Reason() const { return m_reason; }

 private:
  bool Fail(const std::string& reason);

  // The platform's part. Each false with the system's reason in `reason`.
  // The final name is fit to be replaced; the new file is open.
  bool BeginFile(std::string& reason);
  // Some of the bytes written (at least one), or 0.
  std::size_t WriteSome(const char* data, std::size_t size, std::string& reason);
  bool FlushFile(std::string& reason);
  // The new file has the final name, and what identifies it is kept for IsInPlace.
  bool PutInPlace(std::string& reason);
  bool FlushFolder(std::string& reason);
  // What the final name leads to now is the file put in place, unchanged.
  bool StillInPlace(std::string& reason);
  void DiscardFile();
  std::string BadHandleReason() const;

  // The platform's owners of what is open: the file, and on POSIX its folder.
  struct Handles;

  std::string m_path;
  std::string m_reason;
  std::unique_ptr<Handles> m_handles;
  uint64_t m_written = 0;
  bool m_writing = false;
  bool m_committed = false;
};

// The reason given for a name that holds something other than a regular file.
extern const char* const kNotARegularFile;

// Whether a list may be kept at path: false, with the folder's full name in `folder`, when
// that folder may be written by any user and is not sticky (Linux), so that anyone could
// put another file in the list's place while the operator reads it. A folder shared with
// a group is not refused: its members are the operator's colleagues. Always true on
// Windows, whose folders are guarded by their access lists.
[[nodiscard]] bool IsFolderGuarded(const char* path, std::string& folder);
