#include "platform/linux/OpenSslSignature.h"

#include <fcntl.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Platform.h"

namespace pellarion {

namespace {

// The file is read in pieces of this size, never whole.
constexpr std::size_t kReadPiece = 1 << 20;

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct OpenFile {
  int fd;
  ~OpenFile() {
    if (fd >= 0) ::close(fd);
  }
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

bool VerifyFileSignature(const std::string& localPath, const std::string& derSignature,
                         const std::string& spkiDer) {
  const auto key = P256Key(spkiDer);
  // A signature that is not even DER cannot be valid: no need to read the file.
  if (!IsDerEcdsaSignature(derSignature)) return false;

  const OpenFile file{::open(localPath.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) Fail("cannot open " + localPath + ": " + std::strerror(errno));

  std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
    Fail("cannot start: " + OpenSslReason());
  }
  std::vector<unsigned char> piece(kReadPiece);
  for (;;) {
    const ssize_t n = ::read(file.fd, piece.data(), piece.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("cannot read " + localPath + ": " + std::strerror(errno));
    if (n == 0) break;
    if (EVP_DigestVerifyUpdate(context.get(), piece.data(), static_cast<std::size_t>(n)) != 1) {
      Fail("cannot hash " + localPath + ": " + OpenSslReason());
    }
  }
  const int verdict = EVP_DigestVerifyFinal(
      context.get(), reinterpret_cast<const unsigned char*>(derSignature.data()), derSignature.size());
  if (verdict == 1) return true;
  const std::string reason = OpenSslReason();
  if (verdict == 0) return false;
  Fail("cannot verify " + localPath + ": " + reason);
}

}  // namespace pellarion
