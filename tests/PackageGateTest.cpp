// The acceptance gate over real executables built for the tests and damaged
// copies of them.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "gate/PackageGate.h"
#include "tests/support/FakePlatform.h"
#include "tests/support/Subprocess.h"
#include "versions/Versions.h"

namespace pellarion {
namespace {

using testing::FakePlatform;
using testing::ReadFile;

std::string Fixture(const std::string& name) { return ReadFile(std::string(FIXTURE_DIR) + "/" + name); }

std::uint32_t Le32At(const std::string& b, std::size_t at) {
  return static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8 |
         static_cast<unsigned char>(b[at + 2]) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

void PutLe32(std::string& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}

// The executable with a certificate table of `length` bytes appended, as a
// signing tool leaves it: the data directory entry holds its file offset.
std::string WithCertificateTable(std::string pe, std::uint32_t length) {
  const std::size_t optional = Le32At(pe, 0x3C) + 24;
  const bool plus = static_cast<unsigned char>(pe[optional + 1]) == 0x02;  // magic 0x20B
  const std::size_t entry = optional + (plus ? 112 : 96) + 4 * 8;
  PutLe32(pe, entry, static_cast<std::uint32_t>(pe.size()));
  PutLe32(pe, entry + 4, length);
  return pe + std::string(length, '\x5A');
}

// The 64-bit ELF without its section header table, as `sstrip` leaves one:
// only the segments say how long the file must be.
std::string WithoutSectionHeaders(std::string elf) {
  for (std::size_t at = 0x28; at < 0x30; ++at) elf[at] = 0;  // e_shoff
  for (std::size_t at = 0x3C; at < 0x40; ++at) elf[at] = 0;  // e_shnum, e_shstrndx
  return elf;
}

struct GateCase {
  std::string name;
  std::string contents;
  std::string offered = "31012";
  std::optional<std::string> installed;  // the file it replaces; nothing: none
  bool keyed = false;                    // a build with a publisher key
  std::optional<std::string> signedFor;  // keyed: the bytes its role's signed entry describes
  bool accepted = false;
  std::string reasonHas;                 // refusals: a word of the reason
};

TEST(PackageGateTest, AcceptsOnlyWholeNewerExecutablesOfTheOfferedVersionAndTheSignedRelease) {
  const std::string pe = Fixture("pe-3.1.0.12.exe");
  const std::string elf = Fixture("linux-app-3.1.0.12");
  const std::string certified = WithCertificateTable(pe, 600);
  ASSERT_GT(pe.size(), 4096u);
  ASSERT_GT(elf.size(), 4096u);
  std::string tampered = pe;
  tampered[pe.size() / 2] ^= 0x01;  // inside a section: headers and version intact
  const std::nullopt_t none = std::nullopt;

  std::vector<GateCase> cases = {
      {"whole PE", pe, "31012", none, false, none, true, ""},
      {"whole ELF", elf, "31012", none, false, none, true, ""},
      {"PE with its certificate table", certified, "31012", none, false, none, true, ""},
      {"offer with blanks around it", pe, " 31012\n", none, false, none, true, ""},
      {"PE cut inside the headers", pe.substr(0, 0x100), "31012", none, false, none, false, "cut off"},
      {"PE cut after the headers", pe.substr(0, 0x400), "31012", none, false, none, false, "cut off"},
      {"PE cut inside the last section", pe.substr(0, pe.size() - 1), "31012", none, false, none, false, "section"},
      {"PE cut inside the certificate table", certified.substr(0, certified.size() - 100), "31012", none, false,
       none, false, "certificate"},
      {"ELF cut inside the program headers", elf.substr(0, 100), "31012", none, false, none, false, "cut off"},
      {"ELF cut in the middle", elf.substr(0, elf.size() / 2), "31012", none, false, none, false, "cut off"},
      {"ELF without section headers, cut in the middle", WithoutSectionHeaders(elf).substr(0, elf.size() / 2),
       "31012", none, false, none, false, "segment"},
      {"ELF cut inside the section headers", elf.substr(0, elf.size() - 1), "31012", none, false, none, false,
       "section header"},
      {"PE DLL", Fixture("pe-dll-3.1.0.12.dll"), "31012", none, false, none, false, "DLL"},
      {"ELF shared library", Fixture("linux-lib-3.1.0.12.so"), "31012", none, false, none, false, "shared library"},
      {"HTML error page", "<html><body>404</body></html>", "31012", none, false, none, false, "not an executable"},
      {"older version (a stale package)", Fixture("pe-1.0.0.1.exe"), "31012", none, false, none, false,
       "not the offered"},
      {"another offer than the package", pe, "20055", none, false, none, false, "not the offered"},
      {"nothing offered", pe, "", none, false, none, false, "offered"},
      {"unreadable offer", pe, "abc", none, false, none, false, "offered"},
      // This very test program: a whole ELF executable without a version record.
      {"no version record", ReadFile("/proc/self/exe"), "31012", none, false, none, false, "version record"},
      // Never older than the installed file, part by part: 31012 is the
      // larger number, 3.1.1.0 the newer version.
      {"over an older installed file", pe, "31012", Fixture("pe-1.0.0.1.exe"), false, none, true, ""},
      {"over an installed file without a version", pe, "31012", "text", false, none, true, ""},
      {"over the same version", pe, "31012", pe, false, none, false, "not higher than the installed 3.1.0.12"},
      {"over 3.1.1.0", pe, "31012", Fixture("pe-3.1.1.0.exe"), false, none, false, "installed 3.1.1.0"},
      // A build with a key.
      {"the signed package", pe, "31012", none, true, pe, true, ""},
      {"no signed release", pe, "31012", none, true, none, false, "no signed release"},
      {"another file of the same version", certified, "31012", none, true, pe, false, "its length"},
      {"changed after signing", tampered, "31012", none, true, pe, false, "SHA-256"},
      {"signed but cut off", pe.substr(0, pe.size() - 1), "31012", none, true, pe.substr(0, pe.size() - 1), false,
       "cut off"},
  };

  const std::string path = "C:\\Pellarion\\Pellarion.bin", installed = "C:\\Pellarion\\Pellarion.exe";
  for (const GateCase& c : cases) {
    FakePlatform platform;
    platform.AddFile(path, c.contents);
    if (c.installed) platform.AddFile(installed, *c.installed);
    std::optional<PackageEntry> entry;
    if (c.signedFor) entry = PackageEntry{{3, 1, 0, 12}, c.signedFor->size(), FakePlatform::Sha256Of(*c.signedFor)};
    const GateVerdict verdict = CheckPackage(
        platform, path, {c.offered, c.installed ? installed : "", c.keyed, entry ? &*entry : nullptr});
    EXPECT_EQ(verdict.accepted, c.accepted) << c.name << ": " << verdict.reason;
    EXPECT_FALSE(verdict.reason.empty()) << c.name;
    if (!c.accepted) {
      EXPECT_NE(verdict.reason.find(c.reasonHas), std::string::npos) << c.name << ": " << verdict.reason;
    }
  }

  // A package that is not there, or a system that cannot hash, is a
  // refusal, not an exception.
  struct NoCryptography : FakePlatform {
    std::unique_ptr<Sha256> StartSha256() override { throw PlatformError("no hash provider"); }
  } platform;
  const PackageEntry entry{{3, 1, 0, 12}, pe.size(), FakePlatform::Sha256Of(pe)};
  for (const std::string why : {"not found", "no hash provider"}) {
    const GateVerdict verdict = CheckPackage(platform, path, {"31012", "", true, &entry});
    EXPECT_FALSE(verdict.accepted) << why;
    EXPECT_NE(verdict.reason.find(why), std::string::npos) << verdict.reason;
    platform.AddFile(path, pe);
  }
}

}  // namespace
}  // namespace pellarion
