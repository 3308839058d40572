#include "RecordListFile.h"

#include <algorithm>
#include <cstring>

#include "Console.h"
#include "FileIdentification.h"
#include "VisibleText.h"
#include "WideText.h"
#include "Win32File.h"
#include "Win32Random.h"

namespace {

constexpr std::size_t kBufferSize = 1 << 16;

// v in decimal, with a leading zero below minDigits: "%02d" for 2, "%d" for 1. v is a
// SYSTEMTIME field, so never more than 5 digits.
char* PutNumber(char* p, unsigned v, int minDigits) {
  char digits[5];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0 && n < 5);
  for (; n < minDigits; --minDigits) *p++ = '0';
  while (n > 0) *p++ = digits[--n];
  return p;
}

}  // namespace

void CRecordListFile::Fail() {
  if (m_failed) return;
  m_failed = true;
  m_reason = m_file.Reason();
}

bool CRecordListFile::Open(const char* path) {
  m_failed = false;
  m_reason.clear();
  m_buffer.clear();
  uint8_t key[16];
  if (!GenerateRandomBytes(key, sizeof key)) {
    m_failed = true;
    m_reason = "no random key could be drawn from the system";
    return false;
  }
  m_key = CSipHash::Key::FromBytes(key);
  m_writtenHash = CSipHash(m_key);
  m_size = 0;
  // The line ends are written as the platform wants them, by us.
  m_open = m_file.Create(path);
  if (!m_open) {
    Fail();
    return false;
  }
  m_buffer.reserve(kBufferSize);
  m_lineEnd = kTextLineEnd;
  static constexpr char kHeader[] = "File Name, File Write Time";
  Append(kHeader, sizeof kHeader - 1);
  Append(kTextLineEnd, std::strlen(kTextLineEnd));
  return !m_failed;
}

void CRecordListFile::Append(const char* text, std::size_t size) {
  m_buffer.append(text, size);
  if (m_buffer.size() >= kBufferSize) FlushBuffer();
}

void CRecordListFile::FlushBuffer() {
  if (m_buffer.empty() || !m_open) return;
  m_writtenHash.Update(m_buffer.data(), m_buffer.size());
  m_size += m_buffer.size();
  if (!m_failed && !m_file.Write(m_buffer.data(), m_buffer.size())) Fail();
  m_buffer.clear();
}

void CRecordListFile::AppendWriteTime(const uint8_t* record) {
  FILETIME written;
  std::memcpy(&written.dwLowDateTime, record + kLastWriteTimeOffset, 4);
  std::memcpy(&written.dwHighDateTime, record + kLastWriteTimeOffset + 4, 4);
  SYSTEMTIME calendar;
  if (!FileTimeToSystemTime(&written, &calendar)) return;
  // The text "%02d/%02d/%d  %02d:%02d" gives, written straight as UTF-8: this runs once
  // per listed row, and the general formatter and a wide round trip cost more than the
  // fetch itself. Every field of a converted time has at most two digits but the year.
  char text[24];
  char* p = PutNumber(text, calendar.wMonth, 2);
  *p++ = '/';
  p = PutNumber(p, calendar.wDay, 2);
  *p++ = '/';
  p = PutNumber(p, calendar.wYear, 1);
  *p++ = ' ';
  *p++ = ' ';
  p = PutNumber(p, calendar.wHour, 2);
  *p++ = ':';
  p = PutNumber(p, calendar.wMinute, 2);
  m_buffer.append(text, static_cast<std::size_t>(p - text));
}

void CRecordListFile::WriteRow(std::u16string_view name, bool nameCut, const uint8_t* identification,
                               int identificationLength) {
  if (!m_open) return;
  // A cut between the halves of a pair would show a lone surrogate that the name does not
  // hold: the line is cut before the pair instead.
  if (nameCut && !name.empty() && IsHighSurrogate(name.back())) name.remove_suffix(1);
  AppendVisibleUtf8(m_buffer, name);
  EndRow(nameCut, identification, identificationLength);
}

void CRecordListFile::WriteRow(std::string_view storedName, bool nameCut, const uint8_t* identification,
                               int identificationLength) {
  if (!m_open) return;
  AppendVisibleBytes(m_buffer, storedName);
  EndRow(nameCut, identification, identificationLength);
}

void CRecordListFile::EndRow(bool nameCut, const uint8_t* identification, int identificationLength) {
  if (nameCut) m_buffer.append(kVisibleCutMark);
  if (identification != nullptr && identificationLength == static_cast<int>(kFileIdentificationSize)) {
    m_buffer.push_back(',');
    AppendWriteTime(identification);
  }
  m_buffer.append(m_lineEnd);
  if (m_buffer.size() >= kBufferSize) FlushBuffer();
}

bool CRecordListFile::Close() {
  if (!m_open) return !m_failed;
  FlushBuffer();
  m_open = false;
  // A failed write has already given the new file up; otherwise it goes in place now.
  if (!m_failed && !m_file.Commit()) Fail();
  return !m_failed;
}

void CRecordListFile::Abandon() {
  m_buffer.clear();
  m_open = false;
  m_file.Abandon();
}

bool CRecordListFile::IsInPlace() {
  if (m_failed) return false;
  if (!m_file.IsInPlace()) {
    m_reason = m_file.Reason();
    return false;
  }
  // The name leads to the file written, as long as it was: what it holds now is read back,
  // through the write buffer, which the written list left empty (no memory of its own).
  CSipHash read(m_key);
  m_buffer.resize(kBufferSize);
  bool whole = true;
  for (uint64_t at = 0; whole && at < m_size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(m_buffer.size(), m_size - at));
    whole = m_file.ReadBack(at, m_buffer.data(), n);
    if (whole) read.Update(m_buffer.data(), n);
    at += n;
  }
  m_buffer.clear();
  if (!whole) {
    m_reason = "it could not be read back";
    return false;
  }
  if (read.Final() == m_writtenHash.Final()) return true;
  m_reason = "it was changed since it was written";
  return false;
}
