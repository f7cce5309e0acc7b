#include "versions/VersionRecord.h"

#include <cstring>
#include <vector>

#include "versions/ByteReader.h"

namespace pellarion {

namespace {

constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::size_t kFixedInfoSize = 52;
constexpr std::uint32_t kRtVersion = 16;
constexpr std::uint32_t kVsVersionInfoId = 1;
// No genuine version resource comes near this; it bounds what a hostile size
// field can make us read.
constexpr std::uint32_t kMaxVersionResource = 64 * 1024;
constexpr std::uint32_t kMaxDirectoryEntries = 4096;

std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::optional<FileVersionNumbers> ParseFixedInfo(const unsigned char* p, std::size_t size) {
  if (size < kFixedInfoSize || Le32(p) != kFixedInfoSignature) return std::nullopt;
  const std::uint32_t ms = Le32(p + 8);
  const std::uint32_t ls = Le32(p + 12);
  return FileVersionNumbers{static_cast<std::uint16_t>(ms >> 16), static_cast<std::uint16_t>(ms),
                            static_cast<std::uint16_t>(ls >> 16), static_cast<std::uint16_t>(ls)};
}

// VS_VERSIONINFO: wLength, wValueLength, wType, the key "VS_VERSION_INFO" in
// UTF-16 with its terminating zero, padding to a 4-byte boundary, then the
// VS_FIXEDFILEINFO.
std::optional<FileVersionNumbers> ParseVersionInfo(const std::vector<unsigned char>& block) {
  if (block.size() < 6) return std::nullopt;
  const std::size_t length = block[0] | (block[1] << 8);
  const std::size_t valueLength = block[2] | (block[3] << 8);
  const std::size_t end = length < block.size() ? length : block.size();
  static const char kKey[] = "VS_VERSION_INFO";
  std::size_t pos = 6;
  for (std::size_t i = 0; i < sizeof kKey; ++i, pos += 2) {  // includes the zero
    if (pos + 2 > end || block[pos] != static_cast<unsigned char>(kKey[i]) || block[pos + 1] != 0) {
      return std::nullopt;
    }
  }
  pos = (pos + 3) & ~static_cast<std::size_t>(3);
  if (valueLength < kFixedInfoSize || pos + kFixedInfoSize > end) return std::nullopt;
  return ParseFixedInfo(block.data() + pos, kFixedInfoSize);
}

struct Section {
  std::uint32_t virtualAddress, rawSize, rawOffset;
};

class PeImage {
 public:
  explicit PeImage(const ByteReader& r) : r_(r) {}

  std::optional<FileVersionNumbers> Version() {
    std::uint32_t peOffset = 0, signature = 0;
    if (!r_.U32(0x3C, peOffset) || !r_.U32(peOffset, signature) || signature != 0x00004550) {
      return std::nullopt;
    }
    const std::uint64_t coff = std::uint64_t{peOffset} + 4;
    std::uint16_t sectionCount = 0, optionalSize = 0, magic = 0;
    if (!r_.U16(coff + 2, sectionCount) || !r_.U16(coff + 16, optionalSize) ||
        sectionCount > kMaxPeSections) {
      return std::nullopt;
    }
    const std::uint64_t optional = coff + 20;
    if (!r_.U16(optional, magic)) return std::nullopt;
    std::uint64_t directories = 0;
    if (magic == 0x10B) {
      directories = 96;
    } else if (magic == 0x20B) {
      directories = 112;
    } else {
      return std::nullopt;
    }
    std::uint32_t directoryCount = 0, resourceRva = 0;
    if (!r_.U32(optional + directories - 4, directoryCount) || directoryCount < 3 ||
        directories + 3 * 8 > optionalSize || !r_.U32(optional + directories + 16, resourceRva) ||
        resourceRva == 0) {
      return std::nullopt;
    }
    const std::uint64_t table = optional + optionalSize;
    for (std::uint16_t i = 0; i < sectionCount; ++i) {
      Section s{};
      const std::uint64_t at = table + std::uint64_t{i} * 40;
      if (!r_.U32(at + 12, s.virtualAddress) || !r_.U32(at + 16, s.rawSize) ||
          !r_.U32(at + 20, s.rawOffset)) {
        return std::nullopt;
      }
      sections_.push_back(s);
    }
    resourceRva_ = resourceRva;
    return FindVersionResource();
  }

 private:
  // The file offset of `size` bytes at `rva`, when they lie in one section's
  // raw data.
  std::optional<std::uint64_t> Offset(std::uint64_t rva, std::uint64_t size) const {
    for (const Section& s : sections_) {
      if (rva >= s.virtualAddress && rva - s.virtualAddress + size <= s.rawSize) {
        return std::uint64_t{s.rawOffset} + (rva - s.virtualAddress);
      }
    }
    return std::nullopt;
  }

  // Looks in the resource directory at `dirOffset` (relative to the resource
  // section) for an entry that leads to a subdirectory (`wantDirectory`) or to
  // a data entry. The entry with ID `preferred` wins; without one, the first
  // entry of the right kind, unless `exact` asks for the preferred ID only.
  // Returns the entry's OffsetToData.
  std::optional<std::uint32_t> Entry(std::uint32_t dirOffset, std::uint32_t preferred, bool exact,
                                     bool wantDirectory) const {
    const auto dir = Offset(std::uint64_t{resourceRva_} + dirOffset, 16);
    std::uint16_t named = 0, ids = 0;
    if (!dir || !r_.U16(*dir + 12, named) || !r_.U16(*dir + 14, ids)) return std::nullopt;
    const std::uint32_t count = std::uint32_t{named} + ids;
    if (count > kMaxDirectoryEntries) return std::nullopt;
    const auto entries = Offset(std::uint64_t{resourceRva_} + dirOffset + 16, std::uint64_t{count} * 8);
    if (!entries) return std::nullopt;
    std::optional<std::uint32_t> first;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t name = 0, data = 0;
      if (!r_.U32(*entries + i * 8, name) || !r_.U32(*entries + i * 8 + 4, data)) return std::nullopt;
      if (((data & 0x80000000u) != 0) != wantDirectory) continue;
      data &= 0x7FFFFFFFu;
      if (name == preferred) return data;  // an ID entry: the high bit is clear
      if (!first) first = data;
    }
    return exact ? std::nullopt : first;
  }

  std::optional<FileVersionNumbers> FindVersionResource() const {
    // Type RT_VERSION, then the name (VS_VERSION_INFO is 1), then the first
    // language.
    const auto byType = Entry(0, kRtVersion, /*exact=*/true, /*wantDirectory=*/true);
    if (!byType) return std::nullopt;
    const auto byName = Entry(*byType, kVsVersionInfoId, /*exact=*/false, /*wantDirectory=*/true);
    if (!byName) return std::nullopt;
    const auto leaf = Entry(*byName, 0, /*exact=*/false, /*wantDirectory=*/false);
    if (!leaf) return std::nullopt;
    const auto dataEntry = Offset(std::uint64_t{resourceRva_} + *leaf, 16);
    std::uint32_t dataRva = 0, dataSize = 0;
    if (!dataEntry || !r_.U32(*dataEntry, dataRva) || !r_.U32(*dataEntry + 4, dataSize)) {
      return std::nullopt;
    }
    if (dataSize > kMaxVersionResource) dataSize = kMaxVersionResource;
    const auto data = Offset(dataRva, dataSize);
    std::vector<unsigned char> block;
    if (!data || !r_.Bytes(*data, dataSize, block)) return std::nullopt;
    return ParseVersionInfo(block);
  }

  const ByteReader& r_;
  std::vector<Section> sections_;
  std::uint32_t resourceRva_ = 0;
};

std::optional<FileVersionNumbers> ElfVersion(const ByteReader& r) {
  std::vector<unsigned char> ident;
  if (!r.Bytes(0, 6, ident) || ident[4] != 2 || ident[5] != 1) return std::nullopt;  // 64-bit LE
  std::uint64_t sectionTable = 0;
  std::uint16_t entrySize = 0, count = 0, namesIndex = 0;
  if (!r.U64(0x28, sectionTable) || !r.U16(0x3A, entrySize) || !r.U16(0x3C, count) ||
      !r.U16(0x3E, namesIndex) || entrySize < 64 || namesIndex >= count) {
    return std::nullopt;
  }
  const auto header = [&](std::uint16_t i) { return sectionTable + std::uint64_t{i} * entrySize; };
  std::uint64_t namesOffset = 0, namesSize = 0;
  if (!r.U64(header(namesIndex) + 24, namesOffset) || !r.U64(header(namesIndex) + 32, namesSize)) {
    return std::nullopt;
  }
  const std::string wanted = kElfVersionSection;
  for (std::uint16_t i = 0; i < count; ++i) {
    std::uint32_t nameIndex = 0;
    std::uint64_t offset = 0, size = 0;
    if (!r.U32(header(i), nameIndex) || !r.U64(header(i) + 24, offset) ||
        !r.U64(header(i) + 32, size)) {
      return std::nullopt;
    }
    if (nameIndex >= namesSize || namesSize - nameIndex < wanted.size() + 1) continue;
    std::vector<unsigned char> name;
    if (!r.Bytes(namesOffset + nameIndex, wanted.size() + 1, name)) return std::nullopt;
    if (std::memcmp(name.data(), wanted.c_str(), wanted.size() + 1) != 0) continue;
    std::vector<unsigned char> fixed;
    if (size < kFixedInfoSize || !r.Bytes(offset, kFixedInfoSize, fixed)) return std::nullopt;
    return ParseFixedInfo(fixed.data(), fixed.size());
  }
  return std::nullopt;
}

}  // namespace

std::string FileVersionNumbers::Dotted() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build) + "." +
         std::to_string(revision);
}

bool MemoryByteSource::ReadAt(std::uint64_t offset, void* out, std::size_t size) const {
  if (offset > size_ || size > size_ - offset) return false;
  std::memcpy(out, static_cast<const unsigned char*>(data_) + offset, size);
  return true;
}

std::optional<FileVersionNumbers> ReadVersionRecord(const ByteSource& file) {
  const ByteReader r(file);
  std::vector<unsigned char> magic;
  if (!r.Bytes(0, 4, magic)) return std::nullopt;
  if (magic[0] == 'M' && magic[1] == 'Z') return PeImage(r).Version();
  if (magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F') return ElfVersion(r);
  return std::nullopt;
}

}  // namespace pellarion
