#include "tools/publish/PublisherKeys.h"

#include <cstring>

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "tools/publish/KeyEncoding.h"

namespace pellarion::publish {

namespace {

// The newest error OpenSSL queued, for the message.
std::string OpenSslError(const std::string& what) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return what;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return what + " (" + text + ")";
}

struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct DigestDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using Bio = std::unique_ptr<BIO, BioDeleter>;

// The PEM text a writer puts into a memory BIO.
template <typename Writer>
std::string PemText(Writer write, const std::string& what) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get()) != 1) throw PublishError(OpenSslError("cannot encode the " + what));
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

bool IsP256(EVP_PKEY* key) {
  char group[64] = {};
  return EVP_PKEY_is_a(key, "EC") &&
         EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, nullptr) == 1 &&
         std::strcmp(group, "prime256v1") == 0;
}

}  // namespace

struct PrivateKey::SystemKey {
  ~SystemKey() { EVP_PKEY_free(pkey); }
  EVP_PKEY* pkey = nullptr;
};

void GenerateKeyPair(const std::string& dir) {
  const KeyPairFiles files = PrepareKeyPairFolder(dir);
  const std::unique_ptr<EVP_PKEY, KeyDeleter> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) throw PublishError(OpenSslError("cannot generate a P-256 key"));
  const std::string privatePem = PemText(
      [&](BIO* bio) { return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr); },
      "private key");
  const std::string publicPem = PemText([&](BIO* bio) { return PEM_write_bio_PUBKEY(bio, key.get()); },
                                        "public key");
  WriteKeyPair(files, privatePem, publicPem);
}

PrivateKey::PrivateKey(const std::string& pemPath) : key_(std::make_unique<SystemKey>()) {
  const std::string pem = ReadKeyFile(pemPath);
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (bio) key_->pkey = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
  if (key_->pkey == nullptr) {
    // OpenSSL names a decoder's error code; the file's own blocks say in
    // words what it holds instead (a public key, an encrypted one...).
    std::string why;
    if (DecodePrivateKeyPem(pem, why)) throw PublishError(OpenSslError(pemPath + ": OpenSSL cannot read the key"));
    ERR_clear_error();
    throw PublishError(pemPath + ": " + why);
  }
  if (!IsP256(key_->pkey)) {
    throw PublishError(pemPath + " is not an ECDSA P-256 key, the only kind the updater accepts");
  }
}

PrivateKey::~PrivateKey() = default;

std::string PrivateKey::Sign(const std::string& bytes) const {
  const std::unique_ptr<EVP_MD_CTX, DigestDeleter> ctx(EVP_MD_CTX_new());
  std::size_t size = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_->pkey) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &size, reinterpret_cast<const unsigned char*>(bytes.data()),
                     bytes.size()) != 1) {
    throw PublishError(OpenSslError("cannot sign"));
  }
  std::string signature(size, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                     reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1) {
    throw PublishError(OpenSslError("cannot sign"));
  }
  signature.resize(size);
  return signature;
}

std::string PrivateKey::PublicKeySpki() const {
  unsigned char* der = nullptr;
  const int size = i2d_PUBKEY(key_->pkey, &der);
  if (size <= 0) throw PublishError(OpenSslError("cannot encode the public key"));
  std::string spki(reinterpret_cast<char*>(der), static_cast<std::size_t>(size));
  OPENSSL_free(der);
  return spki;
}

}  // namespace pellarion::publish
