// The publisher's key pair and signatures, made with the system's
// cryptography: OpenSSL's libcrypto on Linux, CNG on Windows, in the same
// PEM files (KeyEncoding.h). A signature is what the updater checks on the
// release description: ECDSA P-256 over SHA-256 of its bytes, DER-encoded.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

namespace pellarion::publish {

// A failure of the tool that ends the command with a message.
class PublishError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kPrivateKeyName = "publisher-private.pem";
inline constexpr const char* kPublicKeyName = "publisher-public.pem";

// Writes a new P-256 key pair into `dir` (created when missing):
// publisher-private.pem (PKCS#8 PEM, created with mode 0600, so it is never
// readable by others) and publisher-public.pem (SPKI PEM). Refuses when
// either file already exists: a key in use is never replaced.
void GenerateKeyPair(const std::string& dir);

// Where GenerateKeyPair writes, shared by the realisations: the folder is
// created when missing; it fails when either file is there already.
struct KeyPairFiles {
  std::string privateKey, publicKey;
};
KeyPairFiles PrepareKeyPairFolder(const std::string& dir);
// Writes both new files, the private one readable by its owner only; the
// private one is removed again when the public one cannot be written.
void WriteKeyPair(const KeyPairFiles& files, const std::string& privatePem, const std::string& publicPem);

// The text of the private key file at `path`; fails when it cannot be read
// or is far larger than a key file.
std::string ReadKeyFile(const std::string& path);

// The publisher's private key, read from a PEM file.
class PrivateKey {
 public:
  // Fails when the file cannot be read or holds no P-256 private key.
  explicit PrivateKey(const std::string& pemPath);
  ~PrivateKey();
  PrivateKey(const PrivateKey&) = delete;
  PrivateKey& operator=(const PrivateKey&) = delete;

  // The DER signature over SHA-256 of `bytes`.
  std::string Sign(const std::string& bytes) const;
  // The public half as SubjectPublicKeyInfo DER, as the updater carries it.
  std::string PublicKeySpki() const;

 private:
  struct SystemKey;  // the system's key object
  std::unique_ptr<SystemKey> key_;
};

}  // namespace pellarion::publish
