#include "versions/ExecutableHeaders.h"

namespace pellarion {

namespace {

constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint64_t kPeSectionHeaderSize = 40;
constexpr std::uint32_t kPeMaxDirectories = 16;

// The offset of entry `i` of a table at `base`, when it starts inside a file
// of `size` bytes (so that adding a field's offset cannot wrap around).
std::optional<std::uint64_t> EntryOffset(std::uint64_t base, std::uint64_t i, std::uint64_t entrySize,
                                         std::uint64_t size) {
  if (base > size || i > (size - base) / entrySize) return std::nullopt;
  return base + i * entrySize;
}

}  // namespace

ImageFormat FormatOf(const ByteSource& file) {
  unsigned char magic[4];
  if (!file.ReadAt(0, magic, sizeof magic)) return ImageFormat::Unknown;
  if (magic[0] == 'M' && magic[1] == 'Z') return ImageFormat::Pe;
  if (magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F') return ImageFormat::Elf;
  return ImageFormat::Unknown;
}

std::optional<PeDirectory> PeHeaders::Directory(std::uint32_t index) const {
  if (index >= directoryCount) return std::nullopt;
  return directories[index];
}

std::string ReadPeHeaders(const ByteReader& r, PeHeaders& h) {
  std::uint32_t peOffset = 0, signature = 0;
  if (!r.U32(0x3C, peOffset)) return "cut off inside the DOS header";
  if (!r.U32(peOffset, signature)) return "PE header offset outside the file";
  if (signature != kPeSignature) return "not an executable (no PE signature)";

  const std::uint64_t coff = std::uint64_t{peOffset} + 4;
  std::uint16_t sectionCount = 0, optionalSize = 0, magic = 0;
  if (!r.U16(coff + 2, sectionCount) || !r.U16(coff + 16, optionalSize) || !r.U16(coff + 18, h.characteristics)) {
    return "cut off inside the PE header";
  }
  const std::uint64_t optional = coff + 20;
  if (!r.U16(optional, magic)) return "cut off inside the optional header";
  // Where the data directories start, after the fields of the header's kind.
  std::uint64_t directories = 0;
  if (magic == kPe32Magic) {
    directories = 96;
    h.kind = "PE32";
  } else if (magic == kPe32PlusMagic) {
    directories = 112;
    h.kind = "PE32+";
  } else {
    return "unknown optional header magic";
  }
  if (optionalSize < directories) return "optional header too short";
  if (!Within(optional, optionalSize, r.Size())) return "cut off inside the optional header";

  std::uint32_t directoryCount = 0;
  if (!r.U32(optional + directories - 4, directoryCount)) return "cut off inside the optional header";
  const std::uint64_t room = (optionalSize - directories) / 8;
  std::uint64_t count = directoryCount < room ? directoryCount : room;
  if (count > kPeMaxDirectories) count = kPeMaxDirectories;
  h.directoryCount = static_cast<std::uint32_t>(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t at = optional + directories + i * 8;
    if (!r.U32(at, h.directories[i].address) || !r.U32(at + 4, h.directories[i].size)) {
      return "cut off inside the optional header";
    }
  }

  if (sectionCount > kMaxPeSections) return "too many sections";
  const std::uint64_t table = optional + optionalSize;
  if (!Within(table, sectionCount * kPeSectionHeaderSize, r.Size())) return "cut off inside the section table";
  h.sectionCount = sectionCount;
  for (std::uint16_t i = 0; i < sectionCount; ++i) {
    const std::uint64_t at = table + std::uint64_t{i} * kPeSectionHeaderSize;
    PeSection& s = h.sections[i];
    if (!r.U32(at + 12, s.virtualAddress) || !r.U32(at + 16, s.rawSize) || !r.U32(at + 20, s.rawOffset)) {
      return "cut off inside the section table";
    }
  }
  return "";
}

std::string ElfHeaders::Read() {
  unsigned char ident[16];
  if (!file_.ReadAt(0, ident, sizeof ident)) return "cut off inside the ELF header";
  if (ident[4] != 1 && ident[4] != 2) return "unknown ELF class";
  if (ident[5] != 1 && ident[5] != 2) return "unknown ELF byte order";
  is64_ = ident[4] == 2;
  bigEndian_ = ident[5] == 2;
  const ByteReader r = Reader();

  std::uint16_t sectionCount16 = 0;
  bool read = r.U16(16, type_);
  if (is64_) {
    read = read && r.U64(0x20, programOffset_) && r.U64(0x28, sectionOffset_) && r.U16(0x36, programEntrySize_) &&
           r.U16(0x38, programCount_) && r.U16(0x3A, sectionEntrySize_) && r.U16(0x3C, sectionCount16) &&
           r.U16(0x3E, namesIndex_);
  } else {
    std::uint32_t programOffset = 0, sectionOffset = 0;
    read = read && r.U32(0x1C, programOffset) && r.U32(0x20, sectionOffset) && r.U16(0x2A, programEntrySize_) &&
           r.U16(0x2C, programCount_) && r.U16(0x2E, sectionEntrySize_) && r.U16(0x30, sectionCount16) &&
           r.U16(0x32, namesIndex_);
    programOffset_ = programOffset;
    sectionOffset_ = sectionOffset;
  }
  if (!read) return "cut off inside the ELF header";

  // With more sections than the header's field holds, the count is in the
  // first section header's size field.
  sectionCount_ = sectionCount16;
  if (sectionCount_ == 0 && sectionOffset_ != 0) {
    if (!SectionEntriesFit()) return "section header entries too small";
    const auto first = Section(0);
    if (!first) return "cut off inside the section headers";
    sectionCount_ = first->size;
  }
  return "";
}

std::optional<ElfSegment> ElfHeaders::Segment(std::uint64_t i) const {
  if (i >= programCount_ || !SegmentEntriesFit()) return std::nullopt;
  const ByteReader r = Reader();
  const auto at = EntryOffset(programOffset_, i, programEntrySize_, r.Size());
  ElfSegment s;
  if (!at || !r.U32(*at, s.type) || !Word(r, *at, 8, 4, s.offset) || !Word(r, *at, 0x20, 0x10, s.fileSize)) {
    return std::nullopt;
  }
  return s;
}

std::optional<ElfSection> ElfHeaders::Section(std::uint64_t i) const {
  if (!SectionEntriesFit()) return std::nullopt;
  const ByteReader r = Reader();
  const auto at = EntryOffset(sectionOffset_, i, sectionEntrySize_, r.Size());
  ElfSection s;
  if (!at || !r.U32(*at, s.nameIndex) || !Word(r, *at, 0x18, 0x10, s.offset) || !Word(r, *at, 0x20, 0x14, s.size)) {
    return std::nullopt;
  }
  return s;
}

bool ElfHeaders::Word(const ByteReader& r, std::uint64_t entry, std::uint64_t at64, std::uint64_t at32,
                      std::uint64_t& value) const {
  if (is64_) return r.U64(entry + at64, value);
  std::uint32_t narrow = 0;
  if (!r.U32(entry + at32, narrow)) return false;
  value = narrow;
  return true;
}

}  // namespace pellarion
