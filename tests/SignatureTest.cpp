// The Linux signature check against keys and signatures made by the openssl
// command, as a publisher makes them.
#include <gtest/gtest.h>

#include "gate/Files.h"
#include "platform/Platform.h"
#include "tests/support/Subprocess.h"

namespace pellarion {
namespace {

using testing::ReadFile;
using testing::RunProgram;
using testing::TempDir;
using testing::WriteFile;

class SignatureTest : public ::testing::Test {
 protected:
  static void Openssl(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{"openssl"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ASSERT_EQ(RunProgram(argv).exitCode, 0) << argv[1] << " " << argv[2];
  }

  // A new key on `curve`; returns its SubjectPublicKeyInfo (DER).
  std::string NewKey(const std::string& name, const std::string& curve) {
    Openssl({"ecparam", "-name", curve, "-genkey", "-noout", "-out", dir / (name + ".pem")});
    Openssl({"ec", "-in", dir / (name + ".pem"), "-pubout", "-outform", "DER", "-out", dir / (name + ".der")});
    return ReadFile(dir / (name + ".der"));
  }

  std::string Sign(const std::string& keyName, const std::string& file) {
    Openssl({"dgst", "-sha256", "-sign", dir / (keyName + ".pem"), "-out", file + ".sig", file});
    return ReadFile(file + ".sig");
  }

  TempDir dir;
  std::unique_ptr<Platform> platform = CreateSystemPlatform();
};

TEST_F(SignatureTest, OnlyTheKeysSignatureOverTheseVeryBytesIsValid) {
  const std::string publisher = NewKey("publisher", "prime256v1");
  const std::string stranger = NewKey("stranger", "prime256v1");
  // Larger than the pieces the file is read in, and not a multiple of them.
  std::string bytes(3 * 1024 * 1024 + 5, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 256);
  const std::string package = dir / "Pellarion.bin", other = dir / "update.bin";
  WriteFile(package, bytes);
  WriteFile(other, "another package");
  const std::string good = Sign("publisher", package);
  bytes.back() ^= 1;
  WriteFile(dir / "tampered.bin", bytes);

  struct Case {
    const char* name;
    std::string file, signature, key;
    bool valid;
  } cases[] = {
      {"the publisher's signature", package, good, publisher, true},
      {"one byte changed at the end", dir / "tampered.bin", good, publisher, false},
      {"another file's signature", package, Sign("publisher", other), publisher, false},
      {"signed by another key", package, Sign("stranger", package), publisher, false},
      {"checked against another key", package, good, stranger, false},
      {"a cut signature", package, good.substr(0, good.size() - 3), publisher, false},
      {"bytes after the signature", package, good + "x", publisher, false},
      {"not DER at all", package, "MEUCIQ", publisher, false},
      {"empty", package, "", publisher, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform->VerifySignature(FileSha256(*platform, c.file), c.signature, c.key), c.valid);
  }
}

TEST_F(SignatureTest, TheDigestIsSha256OfTheWholeFile) {
  // Larger than the pieces the file is read in, and not a multiple of them.
  const std::string package = dir / "Pellarion.bin";
  WriteFile(package, std::string(3 * 1024 * 1024 + 5, 'p'));
  const auto sum = RunProgram({"sha256sum", package});
  ASSERT_EQ(sum.exitCode, 0);
  std::string hex;
  for (const unsigned char byte : FileSha256(*platform, package)) {
    hex += "0123456789abcdef"[byte >> 4];
    hex += "0123456789abcdef"[byte & 15];
  }
  EXPECT_EQ(sum.output.substr(0, 64), hex);
}

TEST_F(SignatureTest, AnUnusableKeyOrFileIsAFailureNotAVerdict) {
  const std::string publisher = NewKey("publisher", "prime256v1");
  const std::string package = dir / "Pellarion.bin";
  WriteFile(package, "package");
  const std::string signature = Sign("publisher", package);
  const std::string digest = FileSha256(*platform, package);
  struct Case {
    const char* name;
    std::string digest, key;
  } cases[] = {
      {"a P-384 key", digest, NewKey("p384", "secp384r1")},
      {"not a key", digest, "-----BEGIN PUBLIC KEY-----"},
      {"a cut key", digest, publisher.substr(0, publisher.size() - 1)},
      {"bytes after the key", digest, publisher + '\0'},
      {"not a SHA-256 digest", digest.substr(1), publisher},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(platform->VerifySignature(c.digest, signature, c.key), PlatformError);
  }
  EXPECT_THROW(FileSha256(*platform, dir / "missing.bin"), PlatformError);
}

}  // namespace
}  // namespace pellarion
