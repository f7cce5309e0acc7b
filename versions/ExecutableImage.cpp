#include "versions/ExecutableImage.h"

#include <cstdint>

#include "versions/ExecutableHeaders.h"

namespace pellarion {

namespace {

ImageVerdict Accept(std::string what) { return {true, std::move(what)}; }
ImageVerdict Refuse(std::string why) { return {false, std::move(why)}; }

std::string CutOff(const char* what, std::uint64_t end, std::uint64_t size) {
  return std::string("cut off: ") + what + " ends at byte " + std::to_string(end) +
         ", the file has " + std::to_string(size);
}

ImageVerdict CheckPe(const ByteSource& file) {
  const ByteReader r(file);
  const std::uint64_t size = r.Size();
  PeHeaders h;
  if (std::string why = ReadPeHeaders(r, h); !why.empty()) return Refuse(why);
  if ((h.characteristics & kPeDll) != 0) return Refuse("a DLL, not an executable");
  if ((h.characteristics & kPeExecutableImage) == 0) return Refuse("not an executable image (an object file?)");
  if (h.sectionCount == 0) return Refuse("no sections");
  for (std::uint16_t i = 0; i < h.sectionCount; ++i) {
    const PeSection& s = h.sections[i];
    // A section without raw data (uninitialised data) occupies no bytes of
    // the file, whatever its offset says.
    if (s.rawSize != 0 && !Within(s.rawOffset, s.rawSize, size)) {
      return Refuse(CutOff("section data", std::uint64_t{s.rawOffset} + s.rawSize, size));
    }
  }
  // The certificate table's address is a file offset, not an RVA.
  if (const auto certificates = h.Directory(kPeCertificateDirectory)) {
    if ((certificates->address != 0 || certificates->size != 0) &&
        !Within(certificates->address, certificates->size, size)) {
      return Refuse(CutOff("the certificate table", std::uint64_t{certificates->address} + certificates->size, size));
    }
  }
  return Accept(std::string("a whole Windows executable (") + h.kind + ")");
}

ImageVerdict CheckElf(const ByteSource& file) {
  ElfHeaders h(file);
  if (std::string why = h.Read(); !why.empty()) return Refuse(why);
  const std::uint64_t size = file.Size();
  if (h.Type() != kElfExecutable && h.Type() != kElfShared) return Refuse("not an executable (ELF type)");

  if (h.SegmentCount() == 0) return Refuse("no program headers");
  if (!h.SegmentEntriesFit()) return Refuse("program header entries too small");
  if (!Within(h.SegmentTableOffset(), h.SegmentTableSize(), size)) return Refuse("cut off inside the program headers");
  bool interpreter = false;
  for (std::uint16_t i = 0; i < h.SegmentCount(); ++i) {
    const auto segment = h.Segment(i);
    if (!segment) return Refuse("cut off inside the program headers");
    if (segment->type == kElfInterpreter) interpreter = true;
    if (!Within(segment->offset, segment->fileSize, size)) {
      return Refuse(CutOff("a segment", segment->offset + segment->fileSize, size));
    }
  }
  if (h.Type() == kElfShared && !interpreter) return Refuse("a shared library, not an executable");

  if (h.SectionTableOffset() != 0 || h.SectionCount() != 0) {
    if (!h.SectionEntriesFit()) return Refuse("section header entries too small");
    const std::uint64_t count = h.SectionCount(), entry = h.SectionEntrySize();
    if (count > size / entry || !Within(h.SectionTableOffset(), count * entry, size)) {
      return Refuse(CutOff("the section header table", h.SectionTableOffset() + count * entry, size));
    }
  }
  return Accept(std::string("a whole ELF ") + (h.Is64() ? "64" : "32") + "-bit executable");
}

}  // namespace

ImageVerdict CheckWholeExecutable(const ByteSource& file) {
  switch (FormatOf(file)) {
    case ImageFormat::Pe:
      return CheckPe(file);
    case ImageFormat::Elf:
      if (kSystemRunsElf) return CheckElf(file);
      [[fallthrough]];
    default:
      return Refuse(file.Size() < 4 ? "not an executable (too short)" : "not an executable");
  }
}

}  // namespace pellarion
