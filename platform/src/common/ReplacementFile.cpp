// The order of a replacement, the same on both platforms: the new file is begun without
// a name anyone can see, written, flushed, put in place in one step, and only then is
// the folder flushed. Each platform gives the steps (RegularFile.cpp).

#include "RegularFile.h"

bool CReplacementFile::Fail(const std::string& reason) {
  m_reason = reason;
  Abandon();
  return false;
}

void CReplacementFile::Abandon() {
  if (m_committed) return;
  m_writing = false;
  DiscardFile();
}

bool CReplacementFile::Create(const char* path) {
  Abandon();
  m_committed = false;
  m_path = path != nullptr ? path : "";
  m_reason.clear();
  m_written = 0;
  std::string reason;
  if (!BeginFile(reason)) return Fail(reason);
  m_writing = true;
  return true;
}

bool CReplacementFile::Write(const char* data, std::size_t size) {
  if (!m_writing) return Fail(BadHandleReason());
  std::string reason;
  while (size > 0) {
    const std::size_t n = WriteSome(data, size, reason);
    if (n == 0) return Fail(reason);
    data += n;
    size -= n;
    m_written += n;
  }
  return true;
}

bool CReplacementFile::Commit() {
  if (!m_writing) return Fail(BadHandleReason());
  std::string reason;
  // On disk before it has the name: a crash right after the rename must not leave the
  // name on an empty or partial file.
  if (!FlushFile(reason)) return Fail(reason);
  if (!PutInPlace(reason)) return Fail(reason);
  m_writing = false;
  m_committed = true;
  // The name is on disk once the folder is. The list is in place whatever this answers.
  if (!FlushFolder(reason)) {
    m_reason = reason;
    return false;
  }
  return true;
}

bool CReplacementFile::IsInPlace() {
  if (!m_committed) {
    m_reason = "it was never written";
    return false;
  }
  return StillInPlace(m_reason);
}
