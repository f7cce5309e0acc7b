// The publisher's keys and signatures with Windows' own cryptography (CNG),
// in the PEM files OpenSSL reads and writes (KeyEncoding.h).
#include <windows.h>
#include <bcrypt.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/Digits.h"
#include "platform/windows/ScopedWin.h"
#include "platform/windows/SystemDll.h"
#include "platform/windows/WinText.h"
#include "tools/publish/KeyEncoding.h"
#include "tools/publish/PublisherKeys.h"
#include "tools/publish/SystemFiles.h"

namespace pellarion::publish {

namespace {

constexpr NTSTATUS kSuccess = 0;
constexpr ULONG kCoordinate = 32;
constexpr std::size_t kPiece = 1 << 20;

// bcrypt.dll comes from System32 only, as in the updater: the tool is often
// run from a download folder, where a planted DLL would be found first.
#define PUBLISHER_BCRYPT_FUNCTIONS(V)                                          \
  V(OpenAlgorithmProvider) V(CloseAlgorithmProvider) V(GenerateKeyPair)        \
  V(FinalizeKeyPair) V(ExportKey) V(ImportKeyPair) V(DestroyKey) V(CreateHash) \
  V(HashData) V(FinishHash) V(DestroyHash) V(SignHash) V(VerifySignature)

struct BcryptFunctions {
#define PELLARION_DECLARE(name) decltype(&::BCrypt##name) name = nullptr;
  PUBLISHER_BCRYPT_FUNCTIONS(PELLARION_DECLARE)
#undef PELLARION_DECLARE
};

const BcryptFunctions& Bcrypt() {
  static const BcryptFunctions functions = [] {
    const HMODULE dll = LoadSystemDll(L"bcrypt.dll");
    BcryptFunctions f;
#define PELLARION_BIND(name) BindSystemFunction(dll, "BCrypt" #name, f.name);
    PUBLISHER_BCRYPT_FUNCTIONS(PELLARION_BIND)
#undef PELLARION_BIND
    return f;
  }();
  return functions;
}

void Check(NTSTATUS status, const std::string& what) {
  if (status != kSuccess) {
    throw PublishError(what + " (CNG status 0x" + HexDigits(static_cast<std::uint32_t>(status), 8, true) + ")");
  }
}

class Algorithm {
 public:
  explicit Algorithm(const wchar_t* name) {
    Check(Bcrypt().OpenAlgorithmProvider(&h_, name, /*pszImplementation=*/nullptr, 0),
          "no CNG provider for " + Utf8(name));
  }
  Algorithm(const Algorithm&) = delete;
  Algorithm& operator=(const Algorithm&) = delete;
  ~Algorithm() { Bcrypt().CloseAlgorithmProvider(h_, 0); }
  BCRYPT_ALG_HANDLE get() const { return h_; }

 private:
  BCRYPT_ALG_HANDLE h_ = nullptr;
};

class KeyHandle {
 public:
  KeyHandle() = default;
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  ~KeyHandle() {
    if (h_ != nullptr) Bcrypt().DestroyKey(h_);
  }
  BCRYPT_KEY_HANDLE* put() { return &h_; }
  BCRYPT_KEY_HANDLE get() const { return h_; }

 private:
  BCRYPT_KEY_HANDLE h_ = nullptr;
};

// SHA-256 of bytes given in pieces.
class Sha256 {
 public:
  Sha256() : algorithm_(BCRYPT_SHA256_ALGORITHM) {
    // Since Windows 7 CNG keeps the hash object itself when given none.
    Check(Bcrypt().CreateHash(algorithm_.get(), &h_, /*pbHashObject=*/nullptr, 0, /*pbSecret=*/nullptr, 0, 0),
          "cannot start SHA-256");
  }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256() { Bcrypt().DestroyHash(h_); }
  void Add(const char* data, std::size_t size) {
    Check(Bcrypt().HashData(h_, reinterpret_cast<PUCHAR>(const_cast<char*>(data)), static_cast<ULONG>(size), 0),
          "cannot hash");
  }
  std::string Finish() {
    std::string digest(32, '\0');
    Check(Bcrypt().FinishHash(h_, reinterpret_cast<PUCHAR>(digest.data()), 32, 0), "cannot finish SHA-256");
    return digest;
  }

 private:
  Algorithm algorithm_;
  BCRYPT_HASH_HANDLE h_ = nullptr;
};

// BCRYPT_ECCKEY_BLOB header, then X, Y and, for a private blob, d.
std::string PrivateBlob(const P256Numbers& key) {
  const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PRIVATE_P256_MAGIC, kCoordinate};
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) + key.x + key.y + key.d;
}

std::string ReadKeyFile(const std::string& path) {
  std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary);
  if (!in) throw PublishError("cannot read the private key " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

struct PrivateKey::SystemKey {
  Algorithm algorithm{BCRYPT_ECDSA_P256_ALGORITHM};
  KeyHandle key;
  std::string x, y;  // the public point

  // The DER signature over a SHA-256 digest.
  std::string SignDigest(std::string digest) const {
    std::string rs(2 * kCoordinate, '\0');
    ULONG size = 0;
    Check(Bcrypt().SignHash(key.get(), /*pPaddingInfo=*/nullptr, reinterpret_cast<PUCHAR>(digest.data()),
                            static_cast<ULONG>(digest.size()), reinterpret_cast<PUCHAR>(rs.data()),
                            static_cast<ULONG>(rs.size()), &size, 0),
          "cannot sign");
    if (size != rs.size()) throw PublishError("CNG made a signature of an unexpected size");
    return DerSignature(rs);
  }
};

void GenerateKeyPair(const std::string& dir) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::create_directories(dir, error);
  if (error) throw PublishError("cannot create the folder " + dir + ": " + error.message());
  const std::string privatePath = (fs::path(dir) / kPrivateKeyName).string();
  const std::string publicPath = (fs::path(dir) / kPublicKeyName).string();
  for (const auto& path : {privatePath, publicPath}) {
    if (fs::exists(fs::symlink_status(path))) {
      throw PublishError(path + " already exists; a key pair is never replaced (move it away first)");
    }
  }

  const Algorithm algorithm(BCRYPT_ECDSA_P256_ALGORITHM);
  KeyHandle key;
  Check(Bcrypt().GenerateKeyPair(algorithm.get(), key.put(), 256, 0), "cannot generate a P-256 key");
  Check(Bcrypt().FinalizeKeyPair(key.get(), 0), "cannot generate a P-256 key");
  std::string blob(sizeof(BCRYPT_ECCKEY_BLOB) + 3 * kCoordinate, '\0');
  ULONG size = 0;
  Check(Bcrypt().ExportKey(key.get(), /*hExportKey=*/nullptr, BCRYPT_ECCPRIVATE_BLOB,
                           reinterpret_cast<PUCHAR>(blob.data()), static_cast<ULONG>(blob.size()), &size, 0),
        "cannot export the new key");
  if (size != blob.size()) throw PublishError("CNG exported a key of an unexpected size");
  const std::size_t at = sizeof(BCRYPT_ECCKEY_BLOB);
  const P256Numbers numbers{blob.substr(at + 2 * kCoordinate, kCoordinate), blob.substr(at, kCoordinate),
                            blob.substr(at + kCoordinate, kCoordinate)};
  SecureZeroMemory(blob.data(), blob.size());

  WriteNewFile(privatePath, EncodePrivateKeyPem(numbers), Readers::OwnerOnly);
  try {
    WriteNewFile(publicPath, EncodePublicKeyPem(P256Spki(numbers.x, numbers.y)));
  } catch (...) {
    RemoveIfThere(privatePath);
    throw;
  }
}

PrivateKey::PrivateKey(const std::string& pemPath) : key_(std::make_unique<SystemKey>()) {
  std::string why;
  auto numbers = DecodePrivateKeyPem(ReadKeyFile(pemPath), why);
  if (!numbers) throw PublishError(pemPath + ": " + why);
  std::string blob = PrivateBlob(*numbers);
  key_->x = numbers->x;
  key_->y = numbers->y;
  const NTSTATUS imported = Bcrypt().ImportKeyPair(
      key_->algorithm.get(), /*hImportKey=*/nullptr, BCRYPT_ECCPRIVATE_BLOB, key_->key.put(),
      reinterpret_cast<PUCHAR>(blob.data()), static_cast<ULONG>(blob.size()), 0);
  SecureZeroMemory(blob.data(), blob.size());
  SecureZeroMemory(numbers->d.data(), numbers->d.size());
  Check(imported, pemPath + " holds no usable P-256 key");
  // A file whose public half does not belong to its private number would
  // sign packages that no updater accepts: one signature shows it now.
  std::string digest(32, '\x5a');
  std::string rs(2 * kCoordinate, '\0');
  ULONG size = 0;
  Check(Bcrypt().SignHash(key_->key.get(), nullptr, reinterpret_cast<PUCHAR>(digest.data()), 32,
                          reinterpret_cast<PUCHAR>(rs.data()), static_cast<ULONG>(rs.size()), &size, 0),
        "cannot sign with " + pemPath);
  const NTSTATUS verified = Bcrypt().VerifySignature(key_->key.get(), nullptr, reinterpret_cast<PUCHAR>(digest.data()),
                                                     32, reinterpret_cast<PUCHAR>(rs.data()), size, 0);
  if (verified != kSuccess) throw PublishError(pemPath + ": its public half does not belong to its private key");
}

PrivateKey::~PrivateKey() = default;

std::string PrivateKey::SignFile(const std::string& path) const {
  const ScopedHandle file(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                      /*hTemplateFile=*/nullptr));
  if (!file.valid()) throw PublishError("cannot read " + path + " to sign it: " + ErrorText(GetLastError()));
  Sha256 hash;
  const auto buffer = std::make_unique<char[]>(kPiece);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer.get(), kPiece, &read, /*lpOverlapped=*/nullptr)) {
      throw PublishError("cannot read " + path + " to sign it: " + ErrorText(GetLastError()));
    }
    if (read == 0) break;
    hash.Add(buffer.get(), read);
  }
  return key_->SignDigest(hash.Finish());
}

std::string PrivateKey::PublicKeySpki() const { return P256Spki(key_->x, key_->y); }

}  // namespace pellarion::publish
