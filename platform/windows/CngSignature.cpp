#include "platform/windows/CngSignature.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/Digits.h"
#include "platform/Platform.h"
#include "platform/windows/CngHandles.h"
#include "platform/windows/WinText.h"
#include "platform/Joined.h"

namespace pellarion {

namespace {

constexpr NTSTATUS kSuccess = 0;
constexpr NTSTATUS kInvalidSignature = static_cast<NTSTATUS>(0xC000A000);
constexpr DWORD kPiece = 1024 * 1024;

// The SubjectPublicKeyInfo of every P-256 key starts with these bytes
// (algorithm id-ecPublicKey, curve prime256v1, a 66-byte bit string without
// unused bits); the uncompressed point 0x04 || X || Y follows.
constexpr unsigned char kP256SpkiPrefix[26] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                               0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                               0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
constexpr std::size_t kCoordinate = 32;

[[noreturn]] void Fail(const std::string& what, NTSTATUS status) {
  const std::string code = "0x" + HexDigits(static_cast<std::uint32_t>(status), 8, /*upperCase=*/true);
  throw PlatformError(Joined({what, " (status ", code, ")"}));
}

ScopedAlgorithm OpenAlgorithm(const wchar_t* name) {
  ScopedAlgorithm algorithm;
  const NTSTATUS status =
      Bcrypt().BCryptOpenAlgorithmProvider(algorithm.put(), name, /*pszImplementation=*/nullptr, 0);
  if (status != kSuccess) Fail("no provider for " + Utf8(name), status);
  return algorithm;
}

class CngSha256 : public Sha256 {
 public:
  CngSha256() : algorithm_(OpenAlgorithm(BCRYPT_SHA256_ALGORITHM)) {
    // Since Windows 7 CNG keeps the hash object itself when given none.
    const NTSTATUS status = Bcrypt().BCryptCreateHash(algorithm_.get(), hash_.put(), /*pbHashObject=*/nullptr, 0,
                                                      /*pbSecret=*/nullptr, 0, 0);
    if (status != kSuccess) Fail("SHA-256: cannot start", status);
  }
  void Add(const void* data, std::size_t size) override {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
      const ULONG piece = size > kPiece ? kPiece : static_cast<ULONG>(size);
      const NTSTATUS status = Bcrypt().BCryptHashData(hash_.get(), const_cast<unsigned char*>(bytes), piece, 0);
      if (status != kSuccess) Fail("SHA-256: cannot hash", status);
      bytes += piece;
      size -= piece;
    }
  }
  std::string Finish() override {
    std::string digest(32, '\0');
    const NTSTATUS status = Bcrypt().BCryptFinishHash(
        hash_.get(), reinterpret_cast<unsigned char*>(digest.data()), static_cast<ULONG>(digest.size()), 0);
    if (status != kSuccess) Fail("SHA-256: cannot finish", status);
    return digest;
  }

 private:
  ScopedAlgorithm algorithm_;
  ScopedHash hash_;
};

// One DER INTEGER at `at`, right-aligned into `out` (32 bytes). Only the
// minimal positive encoding is taken.
bool ReadInteger(const std::string& der, std::size_t& at, unsigned char* out) {
  if (at + 2 > der.size() || static_cast<unsigned char>(der[at]) != 0x02) return false;
  std::size_t length = static_cast<unsigned char>(der[at + 1]);
  at += 2;
  if (length == 0 || length > kCoordinate + 1 || at + length > der.size()) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(der.data() + at);
  at += length;
  if (bytes[0] & 0x80) return false;  // negative
  if (bytes[0] == 0) {
    if (length > 1 && (bytes[1] & 0x80) == 0) return false;  // a zero byte that was not needed
    ++bytes;
    --length;
  }
  if (length > kCoordinate) return false;
  std::memset(out, 0, kCoordinate);
  std::memcpy(out + (kCoordinate - length), bytes, length);
  return true;
}

}  // namespace

std::optional<std::array<unsigned char, 64>> SignatureNumbers(const std::string& der) {
  // Two INTEGERs of at most 33 bytes need at most 70 content bytes, so the
  // SEQUENCE's length always has the one-byte form.
  if (der.size() < 2 || static_cast<unsigned char>(der[0]) != 0x30) return std::nullopt;
  const std::size_t length = static_cast<unsigned char>(der[1]);
  if (length >= 0x80 || length + 2 != der.size()) return std::nullopt;
  std::array<unsigned char, 64> numbers{};
  std::size_t at = 2;
  if (!ReadInteger(der, at, numbers.data()) || !ReadInteger(der, at, numbers.data() + kCoordinate)) {
    return std::nullopt;
  }
  if (at != der.size()) return std::nullopt;
  return numbers;
}

std::unique_ptr<Sha256> StartCngSha256() { return std::make_unique<CngSha256>(); }

bool VerifyDigestSignature(const std::string& sha256Digest, const std::string& derSignature,
                           const std::string& spkiDer) {
  if (spkiDer.size() != sizeof kP256SpkiPrefix + 1 + 2 * kCoordinate ||
      std::memcmp(spkiDer.data(), kP256SpkiPrefix, sizeof kP256SpkiPrefix) != 0 ||
      spkiDer[sizeof kP256SpkiPrefix] != 0x04) {
    throw PlatformError("signature check: the publisher key is not an uncompressed P-256 key");
  }
  if (sha256Digest.size() != 32) throw PlatformError("signature check: a SHA-256 digest has 32 bytes");
  std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kCoordinate);
  BCRYPT_ECCKEY_BLOB header{};
  header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header.cbKey = kCoordinate;
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, spkiDer.data() + sizeof kP256SpkiPrefix + 1, 2 * kCoordinate);

  const ScopedAlgorithm ecdsa = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
  ScopedKey key;
  NTSTATUS status = Bcrypt().BCryptImportKeyPair(ecdsa.get(), /*hImportKey=*/nullptr, BCRYPT_ECCPUBLIC_BLOB,
                                                 key.put(), blob.data(), static_cast<ULONG>(blob.size()), 0);
  if (status != kSuccess) Fail("signature check: the publisher key is refused", status);

  std::optional<std::array<unsigned char, 64>> numbers = SignatureNumbers(derSignature);
  if (!numbers) return false;
  std::string digest = sha256Digest;
  status = Bcrypt().BCryptVerifySignature(key.get(), /*pPaddingInfo=*/nullptr,
                                          reinterpret_cast<unsigned char*>(digest.data()),
                                          static_cast<ULONG>(digest.size()), numbers->data(),
                                          static_cast<ULONG>(numbers->size()), 0);
  if (status == kSuccess) return true;
  if (status == kInvalidSignature) return false;
  Fail("signature check: cannot verify", status);
}

}  // namespace pellarion
