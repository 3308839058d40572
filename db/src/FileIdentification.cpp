#include "FileIdentification.h"

#include <cstring>
#include <memory>
#include <new>

#include "Win32File.h"
#include "Win32Version.h"

static_assert(sizeof(FileVersionBlock::FixedFileInfo) == sizeof(VS_FIXEDFILEINFO));

bool ReadFileTimes(const char16_t* path, FileTimesBlock* block) {
  if (path == nullptr || block == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  DWORD error = ERROR_SUCCESS;
  {
    // Access 0: only the attributes are read, so a file its reader cannot open for
    // reading still has its times taken.
    UniqueFileHandle file(CreateFileW(path, 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
      error = GetLastError();
    } else if (!GetFileTime(file.get(), &block->ftCreationTime, &block->ftLastAccessTime, &block->ftLastWriteTime)) {
      error = GetLastError();
    }
  }
  // Set last, after the handle is closed, so that closing cannot change what the caller sees.
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return false;
  }
  return true;
}

bool ReadFileVersion(const char16_t* path, FileVersionBlock* block) {
  if (path == nullptr || block == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  DWORD error = ERROR_SUCCESS;
  {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) {
      error = GetLastError();
    } else {
      std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]);
      void* value = nullptr;
      UINT length = 0;
      if (!buffer) {
        error = ERROR_NOT_ENOUGH_MEMORY;
      } else if (!GetFileVersionInfoW(path, 0, size, buffer.get()) ||
                 !VerQueryValueW(buffer.get(), u"\\", &value, &length)) {
        error = GetLastError();
      } else if (value == nullptr || length < sizeof(VS_FIXEDFILEINFO)) {
        // A root block too short to hold the fixed information: copying 52 bytes would
        // take whatever follows it in the resource.
        error = ERROR_INVALID_DATA;
      } else {
        std::memcpy(block->FixedFileInfo, value, sizeof(VS_FIXEDFILEINFO));
      }
    }
  }
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return false;
  }
  return true;
}

bool BuildFileIdentificationRecord(const char16_t* path, FileIdentificationRecord* record) {
  if (record == nullptr || path == nullptr || path[0] == 0) return false;
  std::memset(record, 0, sizeof *record);
  record->times.dwSize = sizeof(FileTimesBlock);
  record->version.dwSize = sizeof(FileVersionBlock);
  record->dwFlags = 0;
  if (ReadFileTimes(path, &record->times)) record->dwFlags |= FILEID_TIMES_VALID;
  // Runs whatever the times gave; its error, if any, is the one left to the caller.
  if (ReadFileVersion(path, &record->version)) record->dwFlags |= FILEID_VERSION_VALID;
  return (record->dwFlags & FILEID_TIMES_VALID) != 0;
}
