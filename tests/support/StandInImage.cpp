#include "tests/support/StandInImage.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "versions/VersionRecord.h"

namespace pellarion::testing {

namespace {

template <typename T>
void Put(std::string& out, std::size_t at, T value) {
  std::memcpy(out.data() + at, &value, sizeof value);  // little-endian hosts only
}

}  // namespace

std::string StandInImage(const std::string& dottedVersion, const std::string& payload) {
  unsigned v[4] = {};
  std::sscanf(dottedVersion.c_str(), "%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3]);
  const std::string names = std::string("\0", 1) + kElfVersionSection + '\0' + ".text" + '\0' +
                            ".shstrtab" + '\0';
  const std::size_t nameVersion = 1, nameText = nameVersion + std::strlen(kElfVersionSection) + 1,
                    nameNames = nameText + 6;
  constexpr std::size_t kHeader = 64, kProgramHeader = 56, kFixedInfo = 52, kSectionHeader = 64;
  const std::size_t record = kHeader + kProgramHeader, text = record + kFixedInfo, strings = text + payload.size(),
                    table = strings + names.size();
  std::string image(table + 4 * kSectionHeader, '\0');

  // ELF header: 64-bit, little-endian, an executable for x86-64.
  std::memcpy(image.data(), "\x7f" "ELF\x02\x01\x01", 7);
  Put<std::uint16_t>(image, 0x10, 2);
  Put<std::uint16_t>(image, 0x12, 0x3E);
  Put<std::uint32_t>(image, 0x14, 1);
  Put<std::uint64_t>(image, 0x20, kHeader);
  Put<std::uint64_t>(image, 0x28, table);
  Put<std::uint16_t>(image, 0x34, kHeader);
  Put<std::uint16_t>(image, 0x36, kProgramHeader);
  Put<std::uint16_t>(image, 0x38, 1);
  Put<std::uint16_t>(image, 0x3A, kSectionHeader);
  Put<std::uint16_t>(image, 0x3C, 4);
  Put<std::uint16_t>(image, 0x3E, 3);

  // One loadable segment: everything up to the section headers.
  Put<std::uint32_t>(image, kHeader, 1 /* PT_LOAD */);
  Put<std::uint32_t>(image, kHeader + 4, 5 /* read, execute */);
  Put<std::uint64_t>(image, kHeader + 16, 0x400000);
  Put<std::uint64_t>(image, kHeader + 32, table);
  Put<std::uint64_t>(image, kHeader + 40, table);
  Put<std::uint64_t>(image, kHeader + 48, 0x1000);

  // The fixed version record (VS_FIXEDFILEINFO).
  const std::uint32_t ms = (v[0] << 16) | v[1], ls = (v[2] << 16) | v[3];
  const std::uint32_t fixed[13] = {0xFEEF04BD, 0x00010000, ms, ls, ms, ls, 0x3F, 0, 0x40004, 1, 0, 0, 0};
  std::memcpy(image.data() + record, fixed, sizeof fixed);
  image.replace(text, payload.size(), payload);
  image.replace(strings, names.size(), names);

  const auto section = [&](int index, std::uint32_t name, std::uint32_t type, std::uint64_t offset,
                           std::uint64_t size) {
    const std::size_t at = table + index * kSectionHeader;
    Put<std::uint32_t>(image, at, name);
    Put<std::uint32_t>(image, at + 4, type);
    Put<std::uint64_t>(image, at + 24, offset);
    Put<std::uint64_t>(image, at + 32, size);
  };
  section(1, nameVersion, 1 /* PROGBITS */, record, kFixedInfo);
  section(2, nameText, 1, text, payload.size());
  section(3, nameNames, 3 /* STRTAB */, strings, names.size());
  return image;
}

}  // namespace pellarion::testing
