#pragma once
// The 112-byte value of the FileTree column FileIdentification: a file's three time
// stamps and the fixed part of its version resource. It is a stored format shared by
// every program that reads or writes the table: little-endian, no gaps.

#include <cstddef>
#include <cstdint>

#include "Win32Types.h"

constexpr uint32_t FILEID_TIMES_VALID = 1;
constexpr uint32_t FILEID_VERSION_VALID = 2;

#pragma pack(push, 4)
struct FileTimesBlock {
  uint32_t dwSize;  // always 28
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
};

struct FileVersionBlock {
  uint32_t dwSize;  // always 56
  uint32_t FixedFileInfo[13];  // VS_FIXEDFILEINFO of the version resource's root block
};

struct FileIdentificationRecord {
  uint32_t dwFlags;
  FileTimesBlock times;
  FileVersionBlock version;
  uint8_t Reserved[24];
};
#pragma pack(pop)

static_assert(sizeof(FILETIME) == 8);
static_assert(sizeof(FileTimesBlock) == 28);
static_assert(sizeof(FileVersionBlock) == 56);
static_assert(sizeof(FileIdentificationRecord) == 112);
static_assert(offsetof(FileIdentificationRecord, times) == 4);
static_assert(offsetof(FileIdentificationRecord, times.ftCreationTime) == 8);
static_assert(offsetof(FileIdentificationRecord, times.ftLastAccessTime) == 16);
static_assert(offsetof(FileIdentificationRecord, times.ftLastWriteTime) == 24);
static_assert(offsetof(FileIdentificationRecord, version) == 32);
static_assert(offsetof(FileIdentificationRecord, version.FixedFileInfo) == 36);
static_assert(offsetof(FileIdentificationRecord, Reserved) == 88);

constexpr std::size_t kFileIdentificationSize = sizeof(FileIdentificationRecord);
constexpr std::size_t kLastWriteTimeOffset = offsetof(FileIdentificationRecord, times.ftLastWriteTime);

// Fill the block's three times (its size field is left alone). False with the thread's
// last error set on failure.
[[nodiscard]] bool ReadFileTimes(const char16_t* path, FileTimesBlock* block);
// Fill FixedFileInfo from the file's version resource (its size field is left alone).
[[nodiscard]] bool ReadFileVersion(const char16_t* path, FileVersionBlock* block);
// Build the whole record; true exactly when the times block was filled.
[[nodiscard]] bool BuildFileIdentificationRecord(const char16_t* path, FileIdentificationRecord* record);
