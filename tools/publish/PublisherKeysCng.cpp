// The publisher's keys and signatures with Windows' own cryptography (CNG),
// in the PEM files OpenSSL reads and writes (KeyEncoding.h).
#include <windows.h>
#include <bcrypt.h>

#include <memory>

#include "platform/Digits.h"
#include "platform/windows/CngHandles.h"
#include "platform/windows/CngSignature.h"
#include "platform/windows/SystemDll.h"
#include "platform/windows/WinText.h"
#include "tools/publish/KeyEncoding.h"
#include "tools/publish/PublisherKeys.h"
#include "tools/publish/SystemFiles.h"

namespace pellarion::publish {

namespace {

constexpr NTSTATUS kSuccess = 0;
constexpr ULONG kCoordinate = 32;

// The functions only the publisher's tool needs, beside the updater's table
// (Bcrypt()), bound the same way: from System32's bcrypt.dll only, as the
// tool is often run from a download folder.
#define PUBLISHER_BCRYPT_FUNCTIONS(V) \
  V(BCryptGenerateKeyPair) V(BCryptFinalizeKeyPair) V(BCryptExportKey) V(BCryptSignHash)

struct SigningFunctions {
#define PELLARION_FUNCTION_ENTRY(name) decltype(&::name) name;
  PUBLISHER_BCRYPT_FUNCTIONS(PELLARION_FUNCTION_ENTRY)
#undef PELLARION_FUNCTION_ENTRY
};

const SigningFunctions& Signing() {
  static const SigningFunctions functions = [] {
    const HMODULE dll = LoadSystemDll(L"bcrypt.dll");
    SigningFunctions table{};
#define PELLARION_BIND_FUNCTION(name) BindSystemFunction(dll, #name, table.name);
    PUBLISHER_BCRYPT_FUNCTIONS(PELLARION_BIND_FUNCTION)
#undef PELLARION_BIND_FUNCTION
    return table;
  }();
  return functions;
}

void Check(NTSTATUS status, const std::string& what) {
  if (status != kSuccess) {
    throw PublishError(what + " (CNG status 0x" + HexDigits(static_cast<std::uint32_t>(status), 8, true) + ")");
  }
}

ScopedAlgorithm OpenP256() {
  ScopedAlgorithm algorithm;
  Check(Bcrypt().BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_ECDSA_P256_ALGORITHM,
                                             /*pszImplementation=*/nullptr, 0),
        "no CNG provider for ECDSA P-256");
  return algorithm;
}

// BCRYPT_ECCKEY_BLOB header, then X, Y and d.
std::string PrivateBlob(const P256Numbers& key) {
  const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PRIVATE_P256_MAGIC, kCoordinate};
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) + key.x + key.y + key.d;
}

// r || s over a SHA-256 digest.
std::string SignDigest(BCRYPT_KEY_HANDLE key, std::string digest) {
  std::string rs(2 * kCoordinate, '\0');
  ULONG size = 0;
  Check(Signing().BCryptSignHash(key, /*pPaddingInfo=*/nullptr, reinterpret_cast<PUCHAR>(digest.data()),
                                 static_cast<ULONG>(digest.size()), reinterpret_cast<PUCHAR>(rs.data()),
                                 static_cast<ULONG>(rs.size()), &size, 0),
        "cannot sign");
  if (size != rs.size()) throw PublishError("CNG made a signature of an unexpected size");
  return rs;
}

}  // namespace

struct PrivateKey::SystemKey {
  ScopedAlgorithm algorithm = OpenP256();
  ScopedKey key;
  std::string x, y;  // the public point
};

void GenerateKeyPair(const std::string& dir) {
  const KeyPairFiles files = PrepareKeyPairFolder(dir);
  const ScopedAlgorithm algorithm = OpenP256();
  ScopedKey key;
  Check(Signing().BCryptGenerateKeyPair(algorithm.get(), key.put(), 256, 0), "cannot generate a P-256 key");
  Check(Signing().BCryptFinalizeKeyPair(key.get(), 0), "cannot generate a P-256 key");
  std::string blob(sizeof(BCRYPT_ECCKEY_BLOB) + 3 * kCoordinate, '\0');
  ULONG size = 0;
  Check(Signing().BCryptExportKey(key.get(), /*hExportKey=*/nullptr, BCRYPT_ECCPRIVATE_BLOB,
                                  reinterpret_cast<PUCHAR>(blob.data()), static_cast<ULONG>(blob.size()), &size, 0),
        "cannot export the new key");
  if (size != blob.size()) throw PublishError("CNG exported a key of an unexpected size");
  const std::size_t at = sizeof(BCRYPT_ECCKEY_BLOB);
  P256Numbers numbers{blob.substr(at + 2 * kCoordinate, kCoordinate), blob.substr(at, kCoordinate),
                      blob.substr(at + kCoordinate, kCoordinate)};
  SecureZeroMemory(blob.data(), blob.size());
  const std::string privatePem = EncodePrivateKeyPem(numbers);
  SecureZeroMemory(numbers.d.data(), numbers.d.size());
  WriteKeyPair(files, privatePem, EncodePublicKeyPem(P256Spki(numbers.x, numbers.y)));
}

PrivateKey::PrivateKey(const std::string& pemPath) : key_(std::make_unique<SystemKey>()) {
  std::string why;
  auto numbers = DecodePrivateKeyPem(ReadKeyFile(pemPath), why);
  if (!numbers) throw PublishError(pemPath + ": " + why);
  std::string blob = PrivateBlob(*numbers);
  key_->x = numbers->x;
  key_->y = numbers->y;
  SecureZeroMemory(numbers->d.data(), numbers->d.size());
  const NTSTATUS imported = Bcrypt().BCryptImportKeyPair(
      key_->algorithm.get(), /*hImportKey=*/nullptr, BCRYPT_ECCPRIVATE_BLOB, key_->key.put(),
      reinterpret_cast<PUCHAR>(blob.data()), static_cast<ULONG>(blob.size()), 0);
  SecureZeroMemory(blob.data(), blob.size());
  Check(imported, pemPath + " holds no usable P-256 key");
  // A file whose public half does not belong to its private number would
  // sign packages that no updater accepts: one signature shows it now.
  std::string digest(32, '\x5a');
  std::string rs = SignDigest(key_->key.get(), digest);
  if (Bcrypt().BCryptVerifySignature(key_->key.get(), /*pPaddingInfo=*/nullptr, reinterpret_cast<PUCHAR>(digest.data()),
                                     32, reinterpret_cast<PUCHAR>(rs.data()), static_cast<ULONG>(rs.size()),
                                     0) != kSuccess) {
    throw PublishError(pemPath + ": its public half does not belong to its private key");
  }
}

PrivateKey::~PrivateKey() = default;

std::string PrivateKey::Sign(const std::string& bytes) const {
  const auto hash = StartCngSha256();
  hash->Add(bytes.data(), bytes.size());
  return DerSignature(SignDigest(key_->key.get(), hash->Finish()));
}

std::string PrivateKey::PublicKeySpki() const { return P256Spki(key_->x, key_->y); }

}  // namespace pellarion::publish
