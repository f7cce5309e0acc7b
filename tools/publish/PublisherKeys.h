// The publisher's key pair and signatures, made with the system's
// cryptography: OpenSSL's libcrypto on Linux, CNG on Windows, in the same
// PEM files (KeyEncoding.h). A signature is what the updater checks beside a
// package: ECDSA P-256 over SHA-256 of the file's bytes, DER-encoded (the
// `.sig` file holds it in base64 on one line).
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

// The publisher's private key, read from a PEM file.
class PrivateKey {
 public:
  // Fails when the file cannot be read or holds no P-256 private key.
  explicit PrivateKey(const std::string& pemPath);
  ~PrivateKey();
  PrivateKey(const PrivateKey&) = delete;
  PrivateKey& operator=(const PrivateKey&) = delete;

  // The DER signature over SHA-256 of the file's bytes, read in pieces.
  std::string SignFile(const std::string& path) const;
  // The public half as SubjectPublicKeyInfo DER, as the updater carries it.
  std::string PublicKeySpki() const;

 private:
  struct SystemKey;  // the system's key object
  std::unique_ptr<SystemKey> key_;
};

}  // namespace pellarion::publish
