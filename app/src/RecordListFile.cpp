#include "RecordListFile.h"

#include <cerrno>
#include <cstring>

#include "BoundedFormat.h"
#include "Console.h"
#include "FileIdentification.h"
#include "WideText.h"
#include "Win32File.h"

namespace {

constexpr std::size_t kBufferSize = 1 << 16;

}  // namespace

RecordListFile::~RecordListFile() {
  if (m_file != nullptr) (void)Close();
}

void RecordListFile::Fail(int error) {
  if (m_failed) return;
  m_failed = true;
  m_reason = error != 0 ? std::strerror(error) : "unknown error";
}

bool RecordListFile::Open(const char* path) {
  m_failed = false;
  m_reason.clear();
  errno = 0;
  // Binary mode: the line ends are written as the platform wants them, by us.
  m_file = std::fopen(path, "wb");
  if (m_file == nullptr) {
    Fail(errno);
    return false;
  }
  m_buffer.reserve(kBufferSize);
  static constexpr char kHeader[] = "File Name, File Write Time";
  Append(kHeader, sizeof kHeader - 1);
  Append(kTextLineEnd, std::strlen(kTextLineEnd));
  return !m_failed;
}

void RecordListFile::Append(const char* text, std::size_t size) {
  m_buffer.append(text, size);
  if (m_buffer.size() >= kBufferSize) FlushBuffer();
}

void RecordListFile::FlushBuffer() {
  if (m_buffer.empty() || m_file == nullptr) return;
  if (!m_failed) {
    errno = 0;
    if (std::fwrite(m_buffer.data(), 1, m_buffer.size(), m_file) != m_buffer.size()) Fail(errno);
  }
  m_buffer.clear();
}

void RecordListFile::FormatWriteTime(const uint8_t* record, char16_t (&text)[kDateCapacity]) {
  text[0] = 0;
  FILETIME written;
  std::memcpy(&written.dwLowDateTime, record + kLastWriteTimeOffset, 4);
  std::memcpy(&written.dwHighDateTime, record + kLastWriteTimeOffset + 4, 4);
  SYSTEMTIME calendar;
  if (!FileTimeToSystemTime(&written, &calendar)) return;
  (void)BoundedFormatCch(text, kDateCapacity, u"%02d/%02d/%d  %02d:%02d", calendar.wMonth, calendar.wDay,
                         calendar.wYear, calendar.wHour, calendar.wMinute);
}

void RecordListFile::WriteRow(const char16_t* name, const uint8_t* identification, int identificationLength) {
  if (m_file == nullptr) return;
  AppendUtf8(m_buffer, std::u16string_view(name != nullptr ? name : u""));
  if (identification != nullptr && identificationLength == static_cast<int>(kFileIdentificationSize)) {
    m_buffer.push_back(',');
    char16_t date[kDateCapacity];
    FormatWriteTime(identification, date);
    AppendUtf8(m_buffer, date);
  }
  m_buffer.append(kTextLineEnd);
  if (m_buffer.size() >= kBufferSize) FlushBuffer();
}

bool RecordListFile::Close() {
  if (m_file == nullptr) return !m_failed;
  FlushBuffer();
  errno = 0;
  if (std::fflush(m_file) != 0) Fail(errno);
  errno = 0;
  if (std::fclose(m_file) != 0) Fail(errno);
  m_file = nullptr;
  return !m_failed;
}
