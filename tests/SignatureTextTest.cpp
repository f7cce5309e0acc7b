// The text forms of signatures and keys: base64 and the public key's PEM block.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "versions/ReleaseDescription.h"
#include "versions/SignatureText.h"
#include "versions/Versions.h"

namespace pellarion {
namespace {

// Made with `openssl ecparam -name prime256v1 -genkey`, `openssl ec -pubout`
// and `openssl dgst -sha256 -sign key.pem FILE | openssl base64 -A`, as the
// signature line of a release description holds it.
constexpr char kTestKeyPem[] =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE8HJw6hAHcwpMXJztG3gLtdNUEig2\n"
    "uEU/+wIvf87HdrQTITPVWxtVwhN92mV3NoqO95zklKhF82epmYStHY01MA==\n"
    "-----END PUBLIC KEY-----\n";
constexpr char kTestKeyDerHex[] =
    "3059301306072a8648ce3d020106082a8648ce3d03010703420004f07270ea1007730a4c5c9ced1b780bb5d35412"
    "2836b8453ffb022f7fcec776b4132133d55b1b55c2137dda6577368a8ef79ce494a845f367a99984ad1d8d3530";
constexpr char kOpensslSignatureText[] =
    "MEYCIQCH250hn83R6Y0Z3G2KVLJEV3LvDemfjE2ooWJT1ENp5AIhAOPZykotRwcUqVn5mqYbdIL8+2n0Iq9ltugxmIjq2h0s";
constexpr char kOpensslSignatureDerHex[] =
    "304602210087db9d219fcdd1e98d19dc6d8a54b2445772ef0de99f8c4da8a16253d44369e4022100e3d9ca4a2d470714"
    "a959f99aa61b7482fcfb69f422af65b6e8319888eada1d2c";

TEST(SignatureTextTest, DecodesExactlyWhatOpensslWritesAndNothingLoose) {
  const std::string sig = kOpensslSignatureText;
  const std::vector<std::pair<std::string, std::optional<std::string>>> signatures = {
      {sig, kOpensslSignatureDerHex},
      {"  " + sig, std::nullopt},
      {sig + "\r\n", std::nullopt},
      {sig.substr(0, 40) + "\n" + sig.substr(40), std::nullopt},  // two lines
      {sig.substr(0, 40) + " " + sig.substr(40), std::nullopt},
      {sig.substr(0, sig.size() - 1), std::nullopt},  // length not a multiple of 4
      {"", ""},
      {" \r\n", std::nullopt},
      {"QQ==", "41"},
      {"QR==", std::nullopt},   // leftover bits set
      {"QUI=", "4142"},
      {"QUJ=", std::nullopt},
      {"Q===", std::nullopt},
      {"QQ=A", std::nullopt},   // data after padding
      {"QQ==QUJD", std::nullopt},
      {"QU-D", std::nullopt},   // the URL-safe alphabet is not this format
      {"QU_D", std::nullopt},
  };
  for (const auto& [text, hex] : signatures) {
    const auto bytes = DecodeBase64(text);
    EXPECT_EQ(bytes ? std::optional<std::string>(HexDigest(*bytes)) : std::nullopt, hex) << "\"" << text << "\"";
  }
  for (std::string bytes; bytes.size() < 7; bytes += static_cast<char>(0xF0 + bytes.size())) {
    EXPECT_EQ(DecodeBase64(EncodeBase64(bytes)), bytes) << bytes.size() << " bytes";
  }
  EXPECT_EQ(EncodeBase64(*DecodeBase64(sig)), sig);
}

TEST(SignatureTextTest, DecodesThePublicKeyBlockToItsDer) {
  const std::string pem = kTestKeyPem;
  const auto crlf = [](std::string text) {
    for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2) text.insert(at, "\r");
    return text;
  };
  const std::size_t secondLine = pem.find('\n', pem.find('\n') + 1) + 1;
  const std::vector<std::pair<std::string, std::optional<std::string>>> keys = {
      {pem, kTestKeyDerHex},
      {crlf(pem), kTestKeyDerHex},
      {"Publisher key of 2026\n" + pem + "\n", kTestKeyDerHex},
      {pem.substr(0, secondLine) + pem.substr(pem.find('\n', secondLine) + 1), std::nullopt},  // a line lost
      {pem.substr(0, pem.find("-----END")), std::nullopt},
      {ReplaceText(pem, "PUBLIC KEY", "EC PRIVATE KEY"), std::nullopt},
      {ReplaceText(pem, "MFkw", "MFgw"), std::nullopt},  // a SEQUENCE longer than the bytes
      {"", std::nullopt},
  };
  for (const auto& [text, hex] : keys) {
    const auto der = DecodePublicKeyPem(text);
    EXPECT_EQ(der ? std::optional<std::string>(HexDigest(*der)) : std::nullopt, hex) << text;
  }
}

}  // namespace
}  // namespace pellarion
