#include "versions/VersionRecord.h"

#include <cstring>
#include <vector>

#include "versions/ExecutableHeaders.h"

namespace pellarion {

namespace {

constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::size_t kFixedInfoSize = 52;
constexpr std::uint32_t kRtVersion = 16;  // RT_VERSION
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

class PeImage {
 public:
  explicit PeImage(const ByteReader& r) : r_(r) {}

  std::optional<FileVersionNumbers> Version() {
    if (!ReadPeHeaders(r_, headers_).empty()) return std::nullopt;
    const auto resources = headers_.Directory(kPeResourceDirectory);
    if (!resources || resources->address == 0) return std::nullopt;
    resourceRva_ = resources->address;
    return FindVersionResource();
  }

 private:
  // The file offset of `size` bytes at `rva`, when they lie in one section's
  // raw data.
  std::optional<std::uint64_t> Offset(std::uint64_t rva, std::uint64_t size) const {
    for (std::uint16_t i = 0; i < headers_.sectionCount; ++i) {
      const PeSection& s = headers_.sections[i];
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
  PeHeaders headers_;
  std::uint32_t resourceRva_ = 0;
};

std::optional<FileVersionNumbers> ElfVersion(const ByteSource& file) {
  ElfHeaders h(file);
  if (!h.Read().empty()) return std::nullopt;
  const ByteReader r = h.Reader();
  const auto names = h.Section(h.SectionNamesIndex());
  if (h.SectionNamesIndex() >= h.SectionCount() || !names) return std::nullopt;
  const std::string wanted = kElfVersionSection;
  for (std::uint64_t i = 0; i < h.SectionCount(); ++i) {
    const auto section = h.Section(i);
    if (!section) return std::nullopt;
    if (section->nameIndex >= names->size || names->size - section->nameIndex < wanted.size() + 1) continue;
    std::vector<unsigned char> name;
    if (!r.Bytes(names->offset + section->nameIndex, wanted.size() + 1, name)) return std::nullopt;
    if (std::memcmp(name.data(), wanted.c_str(), wanted.size() + 1) != 0) continue;
    std::vector<unsigned char> fixed;
    if (section->size < kFixedInfoSize || !r.Bytes(section->offset, kFixedInfoSize, fixed)) return std::nullopt;
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
  switch (FormatOf(file)) {
    case ImageFormat::Pe: {
      const ByteReader r(file);
      return PeImage(r).Version();
    }
    case ImageFormat::Elf:
      if (kSystemRunsElf) return ElfVersion(file);
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

}  // namespace pellarion
