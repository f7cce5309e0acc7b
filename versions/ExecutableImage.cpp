#include "versions/ExecutableImage.h"

#include <cstdint>
#include <vector>

#include "versions/ByteReader.h"

namespace pellarion {

namespace {

constexpr std::uint16_t kImageFileExecutableImage = 0x0002;
constexpr std::uint16_t kImageFileDll = 0x2000;
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint32_t kCertificateDirectory = 4;
constexpr std::uint64_t kSectionHeaderSize = 40;

constexpr std::uint16_t kElfExec = 2;
constexpr std::uint16_t kElfDyn = 3;
constexpr std::uint32_t kElfInterp = 3;

ImageVerdict Accept(std::string what) { return {true, std::move(what)}; }
ImageVerdict Refuse(std::string why) { return {false, std::move(why)}; }

// True when [offset, offset + length) lies inside a file of `size` bytes,
// without overflowing.
bool Within(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

std::string CutOff(const char* what, std::uint64_t end, std::uint64_t size) {
  return std::string("cut off: ") + what + " ends at byte " + std::to_string(end) +
         ", the file has " + std::to_string(size);
}

ImageVerdict CheckPe(const ByteReader& r) {
  const std::uint64_t size = r.Size();
  std::uint32_t peOffset = 0, signature = 0;
  if (!r.U32(0x3C, peOffset)) return Refuse("cut off inside the DOS header");
  if (!r.U32(peOffset, signature)) return Refuse("PE header offset outside the file");
  if (signature != 0x00004550) return Refuse("not an executable (no PE signature)");

  const std::uint64_t coff = std::uint64_t{peOffset} + 4;
  std::uint16_t sectionCount = 0, optionalSize = 0, characteristics = 0, magic = 0;
  if (!r.U16(coff + 2, sectionCount) || !r.U16(coff + 16, optionalSize) ||
      !r.U16(coff + 18, characteristics)) {
    return Refuse("cut off inside the PE header");
  }
  if ((characteristics & kImageFileDll) != 0) return Refuse("a DLL, not an executable");
  if ((characteristics & kImageFileExecutableImage) == 0) {
    return Refuse("not an executable image (an object file?)");
  }

  const std::uint64_t optional = coff + 20;
  if (!r.U16(optional, magic)) return Refuse("cut off inside the optional header");
  std::uint64_t directories = 0;
  const char* kind = "";
  if (magic == kPe32Magic) {
    directories = 96;
    kind = "PE32";
  } else if (magic == kPe32PlusMagic) {
    directories = 112;
    kind = "PE32+";
  } else {
    return Refuse("unknown optional header magic");
  }
  if (optionalSize < directories) return Refuse("optional header too short");
  if (!Within(optional, optionalSize, size)) return Refuse("cut off inside the optional header");

  if (sectionCount == 0) return Refuse("no sections");
  if (sectionCount > kMaxPeSections) return Refuse("too many sections");
  const std::uint64_t table = optional + optionalSize;
  if (!Within(table, sectionCount * kSectionHeaderSize, size)) {
    return Refuse("cut off inside the section table");
  }
  for (std::uint16_t i = 0; i < sectionCount; ++i) {
    const std::uint64_t at = table + std::uint64_t{i} * kSectionHeaderSize;
    std::uint32_t rawSize = 0, rawOffset = 0;
    if (!r.U32(at + 16, rawSize) || !r.U32(at + 20, rawOffset)) {
      return Refuse("cut off inside the section table");
    }
    // A section without raw data (uninitialised data) occupies no bytes of
    // the file, whatever its offset says.
    if (rawSize != 0 && !Within(rawOffset, rawSize, size)) {
      return Refuse(CutOff("section data", std::uint64_t{rawOffset} + rawSize, size));
    }
  }

  // The certificate table's address is a file offset, not an RVA.
  std::uint32_t directoryCount = 0;
  if (!r.U32(optional + directories - 4, directoryCount)) {
    return Refuse("cut off inside the optional header");
  }
  const std::uint64_t certificateEntry = optional + directories + kCertificateDirectory * 8;
  if (directoryCount > kCertificateDirectory && certificateEntry + 8 <= optional + optionalSize) {
    std::uint32_t certificateOffset = 0, certificateSize = 0;
    if (!r.U32(certificateEntry, certificateOffset) || !r.U32(certificateEntry + 4, certificateSize)) {
      return Refuse("cut off inside the optional header");
    }
    if ((certificateOffset != 0 || certificateSize != 0) &&
        !Within(certificateOffset, certificateSize, size)) {
      return Refuse(
          CutOff("the certificate table", std::uint64_t{certificateOffset} + certificateSize, size));
    }
  }
  return Accept(std::string("a whole Windows executable (") + kind + ")");
}

// The ELF header fields the check needs, with 32- and 64-bit layouts read
// into one shape.
struct ElfHeader {
  std::uint16_t type = 0;
  std::uint64_t programOffset = 0, sectionOffset = 0;
  std::uint16_t programEntrySize = 0, programCount = 0, sectionEntrySize = 0;
  std::uint64_t sectionCount = 0;
};

ImageVerdict CheckElf(const ByteSource& file) {
  std::vector<unsigned char> ident;
  const ByteReader raw(file);
  if (!raw.Bytes(0, 16, ident)) return Refuse("cut off inside the ELF header");
  const bool is64 = ident[4] == 2;
  if (ident[4] != 1 && !is64) return Refuse("unknown ELF class");
  if (ident[5] != 1 && ident[5] != 2) return Refuse("unknown ELF byte order");
  const ByteReader r(file, /*bigEndian=*/ident[5] == 2);
  const std::uint64_t size = r.Size();

  ElfHeader h;
  std::uint16_t sectionCount16 = 0;
  bool read = r.U16(16, h.type);
  if (is64) {
    read = read && r.U64(0x20, h.programOffset) && r.U64(0x28, h.sectionOffset) &&
           r.U16(0x36, h.programEntrySize) && r.U16(0x38, h.programCount) &&
           r.U16(0x3A, h.sectionEntrySize) && r.U16(0x3C, sectionCount16);
  } else {
    std::uint32_t programOffset = 0, sectionOffset = 0;
    read = read && r.U32(0x1C, programOffset) && r.U32(0x20, sectionOffset) &&
           r.U16(0x2A, h.programEntrySize) && r.U16(0x2C, h.programCount) &&
           r.U16(0x2E, h.sectionEntrySize) && r.U16(0x30, sectionCount16);
    h.programOffset = programOffset;
    h.sectionOffset = sectionOffset;
  }
  if (!read) return Refuse("cut off inside the ELF header");
  if (h.type != kElfExec && h.type != kElfDyn) return Refuse("not an executable (ELF type)");

  const std::uint64_t programEntryMin = is64 ? 56 : 32;
  if (h.programCount == 0) return Refuse("no program headers");
  if (h.programEntrySize < programEntryMin) return Refuse("program header entries too small");
  if (!Within(h.programOffset, std::uint64_t{h.programCount} * h.programEntrySize, size)) {
    return Refuse("cut off inside the program headers");
  }
  bool interpreter = false;
  for (std::uint16_t i = 0; i < h.programCount; ++i) {
    const std::uint64_t at = h.programOffset + std::uint64_t{i} * h.programEntrySize;
    std::uint32_t type = 0;
    std::uint64_t offset = 0, fileSize = 0;
    bool ok = r.U32(at, type);
    if (is64) {
      ok = ok && r.U64(at + 8, offset) && r.U64(at + 0x20, fileSize);
    } else {
      std::uint32_t offset32 = 0, fileSize32 = 0;
      ok = ok && r.U32(at + 4, offset32) && r.U32(at + 0x10, fileSize32);
      offset = offset32;
      fileSize = fileSize32;
    }
    if (!ok) return Refuse("cut off inside the program headers");
    if (type == kElfInterp) interpreter = true;
    if (!Within(offset, fileSize, size)) {
      return Refuse(CutOff("a segment", offset + fileSize, size));
    }
  }
  if (h.type == kElfDyn && !interpreter) return Refuse("a shared library, not an executable");

  // With more sections than the header's field holds, the count is in the
  // first section header's size field.
  h.sectionCount = sectionCount16;
  if (h.sectionOffset != 0 || h.sectionCount != 0) {
    if (h.sectionEntrySize < (is64 ? 64 : 40)) return Refuse("section header entries too small");
    if (h.sectionCount == 0) {
      if (is64) {
        read = r.U64(h.sectionOffset + 0x20, h.sectionCount);
      } else {
        std::uint32_t count32 = 0;
        read = r.U32(h.sectionOffset + 0x14, count32);
        h.sectionCount = count32;
      }
      if (!read) return Refuse("cut off inside the section headers");
    }
    if (h.sectionCount > size / h.sectionEntrySize ||
        !Within(h.sectionOffset, h.sectionCount * h.sectionEntrySize, size)) {
      return Refuse(CutOff("the section header table",
                           h.sectionOffset + h.sectionCount * h.sectionEntrySize, size));
    }
  }
  return Accept(std::string("a whole ELF ") + (is64 ? "64" : "32") + "-bit executable");
}

}  // namespace

ImageVerdict CheckWholeExecutable(const ByteSource& file) {
  const ByteReader r(file);
  std::vector<unsigned char> magic;
  if (!r.Bytes(0, 4, magic)) return Refuse("not an executable (too short)");
  if (magic[0] == 'M' && magic[1] == 'Z') return CheckPe(r);
  if (magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F') return CheckElf(file);
  return Refuse("not an executable");
}

}  // namespace pellarion
