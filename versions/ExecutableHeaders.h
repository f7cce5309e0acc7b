// The headers of the two executable formats the updater reads, read in one
// place: PE (Windows programs, 32 and 64 bit) and ELF (the Linux build's
// programs, 32 and 64 bit, either byte order). The whole-executable check and
// the version-record reader both start here. Every field is read through a
// ByteReader, so a file that is cut or lies about its offsets gives a reason,
// never a read outside it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "versions/ByteReader.h"

namespace pellarion {

enum class ImageFormat { Unknown, Pe, Elf };

// Whether the system this build is for runs ELF programs (the build says so).
// Linux does, and reads Windows programs too (the tests' and the tool's
// fixtures). Windows runs only its own format: there an ELF file is taken
// for no executable at all, and the ELF readers are left out of the program.
inline constexpr bool kSystemRunsElf = PELLARION_SYSTEM_RUNS_ELF;

// The format by the file's first bytes ("MZ", "\x7F" "ELF").
ImageFormat FormatOf(const ByteSource& file);

// True when [offset, offset + length) lies inside a file of `size` bytes,
// without overflowing.
inline bool Within(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

// --- PE ---
inline constexpr std::uint16_t kPeExecutableImage = 0x0002;  // IMAGE_FILE_EXECUTABLE_IMAGE
inline constexpr std::uint16_t kPeDll = 0x2000;              // IMAGE_FILE_DLL
inline constexpr std::uint32_t kPeResourceDirectory = 2;     // IMAGE_DIRECTORY_ENTRY_RESOURCE
inline constexpr std::uint32_t kPeCertificateDirectory = 4;  // IMAGE_DIRECTORY_ENTRY_SECURITY

struct PeSection {
  std::uint32_t virtualAddress = 0, rawSize = 0, rawOffset = 0;
};

struct PeDirectory {
  // An RVA, except for the certificate table, whose address is a file offset.
  std::uint32_t address = 0, size = 0;
};

struct PeHeaders {
  const char* kind = "";  // "PE32" or "PE32+"
  std::uint16_t characteristics = 0;
  std::uint16_t sectionCount = 0;  // at most kMaxPeSections
  PeSection sections[kMaxPeSections];
  std::uint32_t directoryCount = 0;  // as many as the optional header holds, at most 16
  PeDirectory directories[16];

  // The data directory `index`; nothing when the header has none there.
  std::optional<PeDirectory> Directory(std::uint32_t index) const;
};

// Reads the PE headers: the DOS header's pointer, the signature, the COFF
// header, the optional header (which must lie within the file) and the
// section table. Empty on success, otherwise why not ("cut off inside the
// section table").
std::string ReadPeHeaders(const ByteReader& r, PeHeaders& headers);

// --- ELF ---
inline constexpr std::uint16_t kElfExecutable = 2;   // ET_EXEC
inline constexpr std::uint16_t kElfShared = 3;       // ET_DYN
inline constexpr std::uint32_t kElfInterpreter = 3;  // PT_INTERP

struct ElfSegment {
  std::uint32_t type = 0;
  std::uint64_t offset = 0, fileSize = 0;
};

struct ElfSection {
  std::uint32_t nameIndex = 0;
  std::uint64_t offset = 0, size = 0;
};

class ElfHeaders {
 public:
  explicit ElfHeaders(const ByteSource& file) : file_(file) {}

  // Reads the identification and the file header, in the file's own class
  // and byte order, and the section count (which, beyond what the header's
  // field holds, is in the first section header). Empty on success,
  // otherwise why not.
  std::string Read();

  bool Is64() const { return is64_; }
  std::uint16_t Type() const { return type_; }
  std::uint16_t SegmentCount() const { return programCount_; }
  std::uint64_t SectionCount() const { return sectionCount_; }
  std::uint16_t SectionNamesIndex() const { return namesIndex_; }
  // Where the program header table and the section header table lie.
  std::uint64_t SegmentTableOffset() const { return programOffset_; }
  std::uint64_t SegmentTableSize() const { return std::uint64_t{programCount_} * programEntrySize_; }
  std::uint64_t SectionTableOffset() const { return sectionOffset_; }
  std::uint64_t SectionEntrySize() const { return sectionEntrySize_; }
  // False when the entry sizes are too small for the class: entries cannot
  // be read then.
  bool SegmentEntriesFit() const { return programEntrySize_ >= (is64_ ? 56 : 32); }
  bool SectionEntriesFit() const { return sectionEntrySize_ >= (is64_ ? 64 : 40); }

  // Entry `i` of the program or section header table; nothing when it is not
  // all in the file or the entries do not fit.
  std::optional<ElfSegment> Segment(std::uint64_t i) const;
  std::optional<ElfSection> Section(std::uint64_t i) const;
  // Reads fields in the file's byte order.
  ByteReader Reader() const { return ByteReader(file_, bigEndian_); }

 private:
  // A field that is 64 bits wide at `at64` of a 64-bit file's entry and 32
  // bits at `at32` of a 32-bit file's, read from the entry at `entry`.
  bool Word(const ByteReader& r, std::uint64_t entry, std::uint64_t at64, std::uint64_t at32,
            std::uint64_t& value) const;

  const ByteSource& file_;
  bool is64_ = false, bigEndian_ = false;
  std::uint16_t type_ = 0, programEntrySize_ = 0, programCount_ = 0, sectionEntrySize_ = 0, namesIndex_ = 0;
  std::uint64_t programOffset_ = 0, sectionOffset_ = 0, sectionCount_ = 0;
};

}  // namespace pellarion
