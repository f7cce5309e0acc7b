// The Linux updater's version record: the same fixed record (VS_FIXEDFILEINFO)
// that a Windows executable carries in its resources, in an ELF section that
// the portable version reader looks for. Linked into update.exe itself.
#include <cstdint>

#include "BuildVersion.h"

namespace {

struct FixedFileInfo {
  std::uint32_t signature, structVersion;
  std::uint32_t fileVersionMS, fileVersionLS;
  std::uint32_t productVersionMS, productVersionLS;
  std::uint32_t flagsMask, flags, os, type, subtype, dateMS, dateLS;
};

constexpr std::uint32_t kMS = (PELLARION_VERSION_MAJOR << 16) | PELLARION_VERSION_MINOR;
constexpr std::uint32_t kLS = (PELLARION_VERSION_BUILD << 16) | PELLARION_VERSION_REVISION;

}  // namespace

extern "C" __attribute__((used, section(".osmerin_version")))
const FixedFileInfo osmerin_version_record = {
    0xFEEF04BD, 0x00010000, kMS, kLS, kMS, kLS, 0x3F, 0, 0x40004 /* NT, 32-bit Windows */,
    1 /* application */, 0, 0, 0};
