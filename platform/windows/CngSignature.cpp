#include "platform/windows/CngSignature.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Platform.h"
#include "platform/windows/ScopedWin.h"
#include "platform/windows/SystemDll.h"
#include "platform/windows/WinText.h"

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

// bcrypt.dll is not a KnownDLL: loaded from System32 at the first check.
struct BcryptFunctions {
  decltype(&::BCryptOpenAlgorithmProvider) OpenAlgorithmProvider;
  decltype(&::BCryptCloseAlgorithmProvider) CloseAlgorithmProvider;
  decltype(&::BCryptImportKeyPair) ImportKeyPair;
  decltype(&::BCryptDestroyKey) DestroyKey;
  decltype(&::BCryptCreateHash) CreateHash;
  decltype(&::BCryptHashData) HashData;
  decltype(&::BCryptFinishHash) FinishHash;
  decltype(&::BCryptDestroyHash) DestroyHash;
  decltype(&::BCryptVerifySignature) VerifySignature;
};

const BcryptFunctions& Bcrypt() {
  static const BcryptFunctions functions = [] {
    const HMODULE dll = LoadSystemDll(L"bcrypt.dll");
    BcryptFunctions f{};
    BindSystemFunction(dll, "BCryptOpenAlgorithmProvider", f.OpenAlgorithmProvider);
    BindSystemFunction(dll, "BCryptCloseAlgorithmProvider", f.CloseAlgorithmProvider);
    BindSystemFunction(dll, "BCryptImportKeyPair", f.ImportKeyPair);
    BindSystemFunction(dll, "BCryptDestroyKey", f.DestroyKey);
    BindSystemFunction(dll, "BCryptCreateHash", f.CreateHash);
    BindSystemFunction(dll, "BCryptHashData", f.HashData);
    BindSystemFunction(dll, "BCryptFinishHash", f.FinishHash);
    BindSystemFunction(dll, "BCryptDestroyHash", f.DestroyHash);
    BindSystemFunction(dll, "BCryptVerifySignature", f.VerifySignature);
    return f;
  }();
  return functions;
}

[[noreturn]] void Fail(const std::string& what, NTSTATUS status) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
  throw PlatformError("signature check: " + what + " (status " + code + ")");
}

class Algorithm {
 public:
  explicit Algorithm(const wchar_t* name) {
    const NTSTATUS status = Bcrypt().OpenAlgorithmProvider(&h_, name, /*pszImplementation=*/nullptr, 0);
    if (status != kSuccess) Fail("no provider for " + Utf8(name), status);
  }
  Algorithm(const Algorithm&) = delete;
  Algorithm& operator=(const Algorithm&) = delete;
  ~Algorithm() { Bcrypt().CloseAlgorithmProvider(h_, 0); }
  BCRYPT_ALG_HANDLE get() const { return h_; }

 private:
  BCRYPT_ALG_HANDLE h_ = nullptr;
};

class Key {
 public:
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (h_ != nullptr) Bcrypt().DestroyKey(h_);
  }
  BCRYPT_KEY_HANDLE* put() { return &h_; }
  BCRYPT_KEY_HANDLE get() const { return h_; }

 private:
  BCRYPT_KEY_HANDLE h_ = nullptr;
};

class Hash {
 public:
  Hash() = default;
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;
  ~Hash() {
    if (h_ != nullptr) Bcrypt().DestroyHash(h_);
  }
  BCRYPT_HASH_HANDLE* put() { return &h_; }
  BCRYPT_HASH_HANDLE get() const { return h_; }

 private:
  BCRYPT_HASH_HANDLE h_ = nullptr;
};

// The SHA-256 of the file, read in 1 MiB pieces.
std::array<unsigned char, 32> FileDigest(const std::string& path) {
  const ScopedHandle file(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                      /*hTemplateFile=*/nullptr));
  if (!file.valid()) FailWithLastError("cannot open for the signature check", path);
  const Algorithm sha256(BCRYPT_SHA256_ALGORITHM);
  Hash hash;
  // Since Windows 7 CNG keeps the hash object itself when given none.
  NTSTATUS status = Bcrypt().CreateHash(sha256.get(), hash.put(), /*pbHashObject=*/nullptr, 0,
                                        /*pbSecret=*/nullptr, 0, 0);
  if (status != kSuccess) Fail("cannot start SHA-256", status);
  const auto buffer = std::make_unique<unsigned char[]>(kPiece);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer.get(), kPiece, &read, /*lpOverlapped=*/nullptr)) {
      FailWithLastError("cannot read for the signature check", path);
    }
    if (read == 0) break;
    status = Bcrypt().HashData(hash.get(), buffer.get(), read, 0);
    if (status != kSuccess) Fail("cannot hash " + path, status);
  }
  std::array<unsigned char, 32> digest{};
  status = Bcrypt().FinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
  if (status != kSuccess) Fail("cannot finish SHA-256", status);
  return digest;
}

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

bool VerifyFileSignature(const std::string& path, const std::string& derSignature, const std::string& spkiDer) {
  if (spkiDer.size() != sizeof kP256SpkiPrefix + 1 + 2 * kCoordinate ||
      std::memcmp(spkiDer.data(), kP256SpkiPrefix, sizeof kP256SpkiPrefix) != 0 ||
      spkiDer[sizeof kP256SpkiPrefix] != 0x04) {
    throw PlatformError("signature check: the publisher key is not an uncompressed P-256 key");
  }
  std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kCoordinate);
  BCRYPT_ECCKEY_BLOB header{};
  header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header.cbKey = kCoordinate;
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, spkiDer.data() + sizeof kP256SpkiPrefix + 1, 2 * kCoordinate);

  // The file is read first: a missing package fails the same way with any
  // signature.
  std::array<unsigned char, 32> digest = FileDigest(path);
  const Algorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
  Key key;
  NTSTATUS status = Bcrypt().ImportKeyPair(ecdsa.get(), /*hImportKey=*/nullptr, BCRYPT_ECCPUBLIC_BLOB, key.put(),
                                           blob.data(), static_cast<ULONG>(blob.size()), 0);
  if (status != kSuccess) Fail("the publisher key is refused", status);

  std::optional<std::array<unsigned char, 64>> numbers = SignatureNumbers(derSignature);
  if (!numbers) return false;
  status = Bcrypt().VerifySignature(key.get(), /*pPaddingInfo=*/nullptr, digest.data(),
                                    static_cast<ULONG>(digest.size()), numbers->data(),
                                    static_cast<ULONG>(numbers->size()), 0);
  if (status == kSuccess) return true;
  if (status == kInvalidSignature) return false;
  Fail("cannot verify", status);
}

}  // namespace pellarion
