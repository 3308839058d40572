#include "Win32Version.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "PosixIo.h"
#include "PosixPath.h"
#include "UniqueDescriptor.h"
#include "WideText.h"
#include "Win32File.h"

// The image is read as the Windows loader reads it, but from a file that may be anything:
// every offset and size taken from the file is range-checked before it is used, and a
// file that is no PE image, or has no version resource, fails like one without a version
// resource does on Windows (ERROR_RESOURCE_DATA_NOT_FOUND).

namespace {

constexpr uint16_t kDosSignature = 0x5A4D;  // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kRtVersion = 16;
// FindResource looks the version resource up by this id; Windows finds no other.
constexpr uint32_t kVsVersionInfoId = 1;
constexpr uint32_t kSubdirectoryBit = 0x80000000u;
constexpr std::size_t kSectionHeaderSize = 40;
// The extra bytes GetFileVersionInfoW writes after the resource when there is room.
constexpr char kAnsiSignature[4] = {'F', 'E', '2', 'X'};
// wLength, wValueLength and wType of a VS_VERSIONINFO node.
constexpr std::size_t kBlockHeaderSize = 6;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

struct Section {
  uint32_t virtualAddress;
  uint32_t virtualSize;
  uint32_t rawSize;
  uint32_t rawOffset;
};

// Where the version resource lies in the file.
struct ResourceLocation {
  uint64_t offset = 0;
  uint32_t size = 0;
};

class CPeImage {
 public:
  CPeImage(int fd, uint64_t fileSize) : m_fd(fd), m_fileSize(fileSize) {}

  // Reads exactly size bytes at offset, all of them inside the file.
  bool Read(uint64_t offset, void* data, std::size_t size) const {
    if (offset > m_fileSize || size > m_fileSize - offset) return false;
    return ReadFullyAt(m_fd, offset, data, size);
  }

  bool FindVersionResource(ResourceLocation& location) {
    uint32_t resourceRva = 0;
    return ReadHeaders(resourceRva) && WalkResources(resourceRva, location);
  }

 private:
  bool ReadHeaders(uint32_t& resourceRva) {
    uint8_t dos[64];
    if (!Read(0, dos, sizeof dos) || Le16(dos) != kDosSignature) return false;
    const uint64_t peOffset = Le32(dos + 0x3C);
    uint8_t fileHeader[24];  // signature and IMAGE_FILE_HEADER
    if (!Read(peOffset, fileHeader, sizeof fileHeader) || Le32(fileHeader) != kPeSignature) return false;
    const uint16_t sectionCount = Le16(fileHeader + 6);
    const uint16_t optionalSize = Le16(fileHeader + 20);
    const uint64_t optionalOffset = peOffset + sizeof fileHeader;

    std::vector<uint8_t> optional(optionalSize);
    if (optionalSize < 2 || !Read(optionalOffset, optional.data(), optional.size())) return false;
    std::size_t countOffset = 0;
    switch (Le16(optional.data())) {
      case kPe32Magic: countOffset = 92; break;
      case kPe32PlusMagic: countOffset = 108; break;
      default: return false;
    }
    const std::size_t entryOffset = countOffset + 4 + kResourceDirectoryIndex * 8;
    if (optional.size() < entryOffset + 8) return false;
    if (Le32(optional.data() + countOffset) <= kResourceDirectoryIndex) return false;
    resourceRva = Le32(optional.data() + entryOffset);
    if (resourceRva == 0 || Le32(optional.data() + entryOffset + 4) == 0) return false;

    std::vector<uint8_t> table(static_cast<std::size_t>(sectionCount) * kSectionHeaderSize);
    if (!Read(optionalOffset + optionalSize, table.data(), table.size())) return false;
    m_sections.clear();
    for (std::size_t i = 0; i < sectionCount; ++i) {
      const uint8_t* s = table.data() + i * kSectionHeaderSize;
      m_sections.push_back(Section{Le32(s + 12), Le32(s + 8), Le32(s + 16), Le32(s + 20)});
    }
    return true;
  }

  // The file offset of [rva, rva + size): the range must lie in one section, within the
  // bytes that the section really has in the file.
  bool RvaToOffset(uint64_t rva, uint64_t size, uint64_t& offset) const {
    for (const Section& s : m_sections) {
      const uint64_t extent = s.virtualSize != 0 ? std::min(s.virtualSize, s.rawSize) : s.rawSize;
      if (rva < s.virtualAddress) continue;
      const uint64_t delta = rva - s.virtualAddress;
      if (delta >= extent || size > extent - delta) continue;
      offset = s.rawOffset + delta;
      return offset + size <= m_fileSize;
    }
    return false;
  }

  bool ReadAtRva(uint64_t rva, void* data, std::size_t size) const {
    uint64_t offset = 0;
    return RvaToOffset(rva, size, offset) && Read(offset, data, size);
  }

  // Looks in the directory at root + directory for an entry with the given id (or the
  // first entry when id is null) whose kind, subdirectory or data, is the one wanted.
  bool FindEntry(uint64_t root, uint32_t directory, const uint32_t* id, bool wantSubdirectory,
                 uint32_t& target) const {
    uint8_t header[16];
    if (!ReadAtRva(root + directory, header, sizeof header)) return false;
    const std::size_t named = Le16(header + 12);
    const std::size_t count = named + Le16(header + 14);
    std::vector<uint8_t> entries(count * 8);
    if (!ReadAtRva(root + directory + sizeof header, entries.data(), entries.size())) return false;
    // Named entries come first; ids are looked up among the rest.
    for (std::size_t i = id != nullptr ? named : 0; i < count; ++i) {
      const uint32_t name = Le32(entries.data() + i * 8);
      const uint32_t data = Le32(entries.data() + i * 8 + 4);
      if (id != nullptr && name != *id) continue;
      if (((data & kSubdirectoryBit) != 0) != wantSubdirectory) return false;
      target = data & ~kSubdirectoryBit;
      return true;
    }
    return false;
  }

  // Type RT_VERSION, name VS_VERSION_INFO, then the first language: version resources
  // carry one language, and the neutral one sorts first when there are several.
  bool WalkResources(uint32_t root, ResourceLocation& location) const {
    uint32_t names = 0;
    uint32_t languages = 0;
    uint32_t dataEntry = 0;
    if (!FindEntry(root, 0, &kRtVersion, true, names) || !FindEntry(root, names, &kVsVersionInfoId, true, languages) ||
        !FindEntry(root, languages, nullptr, false, dataEntry)) {
      return false;
    }
    uint8_t entry[16];  // IMAGE_RESOURCE_DATA_ENTRY: the data's RVA and size
    if (!ReadAtRva(static_cast<uint64_t>(root) + dataEntry, entry, sizeof entry)) return false;
    const uint32_t size = Le32(entry + 4);
    // The size offered to callers is twice the resource plus four: it must fit a DWORD.
    if (size == 0 || size > (0xFFFFFFFFu - sizeof kAnsiSignature) / 2) return false;
    location.size = size;
    return RvaToOffset(Le32(entry), size, location.offset);
  }

  int m_fd;
  uint64_t m_fileSize;
  std::vector<Section> m_sections;
};

// Opens path and finds its version resource; on failure the Win32 error is returned.
// The descriptor is handed to the caller in file, to copy the data from. The two entry
// points of Windows refuse an empty path with different errors; the caller says which.
DWORD LocateVersionResource(const char16_t* path, DWORD emptyPathError, UniqueDescriptor& file,
                            ResourceLocation& location) {
  if (path == nullptr || path[0] == 0) return emptyPathError;
  std::string native;
  if (!PosixPathFromWide(path, native)) return GetLastError();
  // O_NONBLOCK: a FIFO must not hang the run; it is refused below.
  UniqueDescriptor opened(::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!opened) return Win32ErrorFromErrno(errno, native);
  struct stat st {};
  if (::fstat(opened.get(), &st) != 0) return Win32ErrorFromErrno(errno, native);
  if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;
  CPeImage image(opened.get(), static_cast<uint64_t>(st.st_size));
  if (!image.FindVersionResource(location)) return ERROR_RESOURCE_DATA_NOT_FOUND;
  file = std::move(opened);
  return ERROR_SUCCESS;
}

// One node of the VS_VERSIONINFO tree, as offsets from the start of the root block.
struct VersionNode {
  std::size_t start = 0;
  std::size_t end = 0;  // start + wLength
  std::size_t key = 0;
  std::size_t keyLength = 0;  // in characters
  std::size_t value = 0;
  std::size_t valueBytes = 0;
  uint16_t valueLength = 0;  // as stored: bytes, or characters for text
  std::size_t children = 0;
};

// Parses the node at start, which must lie inside [start, limit).
bool ParseNode(const uint8_t* root, std::size_t start, std::size_t limit, VersionNode& node) {
  if (start > limit || limit - start < kBlockHeaderSize) return false;
  const uint16_t length = Le16(root + start);
  if (length < kBlockHeaderSize || length > limit - start) return false;
  node.start = start;
  node.end = start + length;
  node.valueLength = Le16(root + start + 2);
  const bool text = Le16(root + start + 4) == 1;
  node.key = start + 6;
  std::size_t p = node.key;
  while (true) {
    if (node.end - p < 2) return false;  // the key has no terminator inside the node
    if (Le16(root + p) == 0) break;
    p += 2;
  }
  node.keyLength = (p - node.key) / 2;
  const auto align = [](std::size_t offset) { return (offset + 3) & ~static_cast<std::size_t>(3); };
  node.value = align(p + 2);
  node.valueBytes = text ? static_cast<std::size_t>(node.valueLength) * 2 : node.valueLength;
  if (node.value > node.end || node.valueBytes > node.end - node.value) {
    if (node.valueBytes != 0) return false;
    node.value = node.end;
  }
  node.children = std::min(align(node.value + node.valueBytes), node.end);
  return true;
}

bool KeyEquals(const uint8_t* root, const VersionNode& node, std::u16string_view name) {
  if (node.keyLength != name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (FoldAscii(static_cast<char16_t>(Le16(root + node.key + 2 * i))) != FoldAscii(name[i])) return false;
  }
  return true;
}

}  // namespace

DWORD GetFileVersionInfoSizeW(const char16_t* path, DWORD* handle) {
  if (handle != nullptr) *handle = 0;
  UniqueDescriptor file;
  ResourceLocation location;
  const DWORD error = LocateVersionResource(path, ERROR_BAD_PATHNAME, file, location);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return 0;
  }
  SetLastError(ERROR_SUCCESS);
  return location.size * 2 + sizeof kAnsiSignature;
}

BOOL GetFileVersionInfoW(const char16_t* path, DWORD handle, DWORD length, void* data) {
  if (data == nullptr || length == 0) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  UniqueDescriptor file;
  ResourceLocation location;
  DWORD error = LocateVersionResource(path, ERROR_PATH_NOT_FOUND, file, location);
  if (error == ERROR_SUCCESS) {
    // A short buffer gets the first bytes only, and still succeeds, as on Windows.
    const std::size_t copied = std::min<std::size_t>(length, location.size);
    auto* out = static_cast<uint8_t*>(data);
    if (!ReadFullyAt(file.get(), location.offset, out, copied)) {
      error = ERROR_READ_FAULT;
    } else if (location.size < kBlockHeaderSize ||
               (copied >= 2 && (Le16(out) > location.size || Le16(out) < kBlockHeaderSize))) {
      // Too small to be a block, a block that claims more than the resource holds, or one
      // too short for its own header (the signature below would then land in the header
      // and make it claim thousands of bytes): every query would read past what was read.
      // Windows trusts it; we refuse it.
      error = ERROR_RESOURCE_DATA_NOT_FOUND;
    } else if (copied >= 2) {
      const std::size_t declared = Le16(out);
      if (declared <= copied && length >= declared + sizeof kAnsiSignature) {
        std::memcpy(out + declared, kAnsiSignature, sizeof kAnsiSignature);
      }
    }
  }
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL VerQueryValueW(const void* block, const char16_t* subBlock, void** value, UINT* length) {
  if (block == nullptr || subBlock == nullptr || value == nullptr || length == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto* root = static_cast<const uint8_t*>(block);
  VersionNode node;
  // The root's own length bounds every read: it is all the caller's block is known to hold.
  if (!ParseNode(root, 0, Le16(root), node)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  std::u16string_view rest(subBlock, WideLength(subBlock));
  while (!rest.empty()) {
    // Repeated backslashes separate nothing.
    const std::size_t begin = rest.find_first_not_of(u'\\');
    if (begin == std::u16string_view::npos) break;
    rest.remove_prefix(begin);
    const std::size_t stop = rest.find(u'\\');
    const std::u16string_view name = rest.substr(0, stop);
    rest.remove_prefix(stop == std::u16string_view::npos ? rest.size() : stop);

    VersionNode child;
    bool found = false;
    for (std::size_t at = node.children; at < node.end && ParseNode(root, at, node.end, child);
         at = (child.end + 3) & ~static_cast<std::size_t>(3)) {
      if (KeyEquals(root, child, name)) {
        found = true;
        break;
      }
    }
    if (!found) {
      SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
      return FALSE;
    }
    node = child;
  }
  *value = const_cast<uint8_t*>(root + node.value);
  *length = node.valueLength;
  return TRUE;
}
