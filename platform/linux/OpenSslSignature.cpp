#include "platform/linux/OpenSslSignature.h"

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

#include "platform/Platform.h"

namespace pellarion {

namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct ParametersFree {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct SigFree {
  void operator()(ECDSA_SIG* sig) const { ECDSA_SIG_free(sig); }
};

// OpenSSL's own reason for the last failure, and its queue emptied.
std::string OpenSslReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "no reason given";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

[[noreturn]] void Fail(const std::string& what) { throw PlatformError("signature check: " + what); }

// Only the DER encoding of one ECDSA signature, with nothing after it.
bool IsDerEcdsaSignature(const std::string& der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  std::unique_ptr<ECDSA_SIG, SigFree> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
  ERR_clear_error();
  return sig && p == reinterpret_cast<const unsigned char*>(der.data()) + der.size();
}

std::unique_ptr<EVP_PKEY, KeyFree> P256Key(const std::string& spkiDer) {
  const auto* p = reinterpret_cast<const unsigned char*>(spkiDer.data());
  std::unique_ptr<EVP_PKEY, KeyFree> key(d2i_PUBKEY(nullptr, &p, static_cast<long>(spkiDer.size())));
  if (!key) Fail("the public key does not read: " + OpenSslReason());
  if (p != reinterpret_cast<const unsigned char*>(spkiDer.data()) + spkiDer.size()) {
    Fail("bytes after the public key");
  }
  char group[64] = {};
  std::size_t length = 0;
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC ||
      EVP_PKEY_get_group_name(key.get(), group, sizeof group, &length) != 1 ||
      std::strcmp(group, "prime256v1") != 0) {
    ERR_clear_error();
    Fail("the public key is not an EC P-256 key");
  }
  return key;
}

}  // namespace

std::unique_ptr<Sha256> StartOpenSslSha256() {
  class OpenSslSha256 : public Sha256 {
   public:
    OpenSslSha256() : context_(EVP_MD_CTX_new()) {
      if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
        throw PlatformError("SHA-256: cannot start: " + OpenSslReason());
      }
    }
    void Add(const void* data, std::size_t size) override {
      if (EVP_DigestUpdate(context_.get(), data, size) != 1) {
        throw PlatformError("SHA-256: cannot hash: " + OpenSslReason());
      }
    }
    std::string Finish() override {
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned int size = 0;
      if (EVP_DigestFinal_ex(context_.get(), digest, &size) != 1 || size != 32) {
        throw PlatformError("SHA-256: cannot finish: " + OpenSslReason());
      }
      return std::string(reinterpret_cast<char*>(digest), size);
    }

   private:
    std::unique_ptr<EVP_MD_CTX, ContextFree> context_;
  };
  return std::make_unique<OpenSslSha256>();
}

bool VerifyDigestSignature(const std::string& sha256Digest, const std::string& derSignature,
                           const std::string& spkiDer) {
  const auto key = P256Key(spkiDer);
  if (sha256Digest.size() != 32) Fail("a SHA-256 digest has 32 bytes, not " + std::to_string(sha256Digest.size()));
  if (!IsDerEcdsaSignature(derSignature)) return false;
  std::unique_ptr<EVP_PKEY_CTX, ParametersFree> context(EVP_PKEY_CTX_new(key.get(), nullptr));
  if (!context || EVP_PKEY_verify_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1) {
    Fail("cannot start: " + OpenSslReason());
  }
  const int verdict = EVP_PKEY_verify(
      context.get(), reinterpret_cast<const unsigned char*>(derSignature.data()), derSignature.size(),
      reinterpret_cast<const unsigned char*>(sha256Digest.data()), sha256Digest.size());
  if (verdict == 1) return true;
  const std::string reason = OpenSslReason();
  if (verdict == 0) return false;
  Fail("cannot verify: " + reason);
}

}  // namespace pellarion
