#include "tools/publish/KeyEncoding.h"

#include "versions/SignatureText.h"

namespace pellarion::publish {

namespace {

constexpr std::size_t kCoordinate = 32;
// id-ecPublicKey and prime256v1, as DER OBJECT IDENTIFIERs.
constexpr std::string_view kEcPublicKey = "\x06\x07\x2a\x86\x48\xce\x3d\x02\x01";
constexpr std::string_view kPrime256v1 = "\x06\x08\x2a\x86\x48\xce\x3d\x03\x01\x07";

std::string Tlv(unsigned char tag, std::string_view content) {
  std::string out(1, static_cast<char>(tag));
  const std::size_t n = content.size();
  if (n < 0x80) {
    out += static_cast<char>(n);
  } else if (n < 0x100) {
    out += '\x81';
    out += static_cast<char>(n);
  } else {
    out += '\x82';
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(n & 0xFF);
  }
  out.append(content);
  return out;
}

// Reads DER elements one after another from `data`.
class DerReader {
 public:
  explicit DerReader(std::string_view data) : data_(data) {}
  bool AtEnd() const { return at_ == data_.size(); }
  // The next element's content when its tag is `tag`.
  std::optional<std::string_view> Next(unsigned char tag) {
    if (data_.size() - at_ < 2 || static_cast<unsigned char>(data_[at_]) != tag) return std::nullopt;
    std::size_t length = static_cast<unsigned char>(data_[at_ + 1]), header = 2;
    if (length & 0x80) {
      const std::size_t octets = length & 0x7F;
      if (octets == 0 || octets > 2 || data_.size() - at_ < 2 + octets) return std::nullopt;
      length = 0;
      for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | static_cast<unsigned char>(data_[at_ + 2 + i]);
      header += octets;
    }
    if (data_.size() - at_ - header < length) return std::nullopt;
    const std::string_view content = data_.substr(at_ + header, length);
    at_ += header + length;
    return content;
  }
  // Skips the next element when its tag is `tag`.
  std::optional<std::string_view> Optional(unsigned char tag) {
    if (at_ < data_.size() && static_cast<unsigned char>(data_[at_]) == tag) return Next(tag);
    return std::nullopt;
  }

 private:
  std::string_view data_;
  std::size_t at_ = 0;
};

// The base64 body of the first block labelled `label` in `pem`, decoded.
std::optional<std::string> PemBlock(std::string_view pem, std::string_view label) {
  const std::string begin = "-----BEGIN " + std::string(label) + "-----";
  const std::string end = "-----END " + std::string(label) + "-----";
  const std::size_t start = pem.find(begin);
  if (start == std::string_view::npos) return std::nullopt;
  const std::size_t bodyStart = start + begin.size();
  const std::size_t stop = pem.find(end, bodyStart);
  if (stop == std::string_view::npos) return std::nullopt;
  std::string body;
  for (char c : pem.substr(bodyStart, stop - bodyStart)) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') body += c;
  }
  return DecodeBase64(body);
}

std::string Pem(std::string_view label, std::string_view der) {
  const std::string base64 = EncodeBase64(der);
  std::string pem = "-----BEGIN " + std::string(label) + "-----\n";
  for (std::size_t i = 0; i < base64.size(); i += 64) pem += base64.substr(i, 64) + "\n";
  return pem + "-----END " + std::string(label) + "-----\n";
}

// A big-endian number of at most `size` bytes, left-padded to `size`.
std::optional<std::string> Padded(std::string_view number, std::size_t size) {
  while (number.size() > size && number.front() == '\0') number.remove_prefix(1);
  if (number.empty() || number.size() > size) return std::nullopt;
  return std::string(size - number.size(), '\0') + std::string(number);
}

// SEC1 ECPrivateKey: version 1, the scalar, [0] the curve, [1] the point.
std::optional<P256Numbers> ReadEcPrivateKey(std::string_view der, bool curveKnown, std::string& why) {
  DerReader outer(der);
  const auto body = outer.Next(0x30);
  if (!body || !outer.AtEnd()) return why = "the key is not well-formed DER", std::nullopt;
  DerReader in(*body);
  const auto version = in.Next(0x02);
  const auto scalar = in.Next(0x04);
  if (!version || *version != "\x01" || !scalar) return why = "the key is not an EC private key", std::nullopt;
  if (const auto parameters = in.Optional(0xA0)) {
    if (*parameters != kPrime256v1) return why = "the key is not on the curve P-256", std::nullopt;
    curveKnown = true;
  }
  if (!curveKnown) return why = "the key does not name its curve", std::nullopt;
  const auto publicKey = in.Optional(0xA1);
  if (!publicKey) return why = "the key lacks its public half", std::nullopt;
  DerReader bits(*publicKey);
  const auto point = bits.Next(0x03);
  if (!point || point->size() != 2 + 2 * kCoordinate || (*point)[0] != '\0' || (*point)[1] != '\x04') {
    return why = "the key's public half is not an uncompressed P-256 point", std::nullopt;
  }
  const auto d = Padded(*scalar, kCoordinate);
  if (!d) return why = "the key's private number does not fit P-256", std::nullopt;
  return P256Numbers{*d, std::string(point->substr(2, kCoordinate)),
                     std::string(point->substr(2 + kCoordinate, kCoordinate))};
}

}  // namespace

std::string EncodePrivateKeyPem(const P256Numbers& key) {
  const std::string point = std::string("\0\x04", 2) + key.x + key.y;
  const std::string ecPrivateKey =
      Tlv(0x30, Tlv(0x02, "\x01") + Tlv(0x04, key.d) + Tlv(0xA1, Tlv(0x03, point)));
  const std::string algorithm = Tlv(0x30, std::string(kEcPublicKey) + std::string(kPrime256v1));
  return Pem("PRIVATE KEY", Tlv(0x30, Tlv(0x02, std::string(1, '\0')) + algorithm + Tlv(0x04, ecPrivateKey)));
}

std::optional<P256Numbers> DecodePrivateKeyPem(std::string_view pem, std::string& why) {
  if (const auto sec1 = PemBlock(pem, "EC PRIVATE KEY")) return ReadEcPrivateKey(*sec1, false, why);
  const auto pkcs8 = PemBlock(pem, "PRIVATE KEY");
  if (!pkcs8) {
    why = pem.find("ENCRYPTED PRIVATE KEY") != std::string_view::npos
              ? "the key is encrypted; the tool reads keys without a pass phrase"
          : pem.find("-----BEGIN PUBLIC KEY-----") != std::string_view::npos
              ? "this is a public key; stage signs with the private key (publisher-private.pem)"
              : "no PEM private key (\"BEGIN PRIVATE KEY\")";
    return std::nullopt;
  }
  DerReader outer(*pkcs8);
  const auto body = outer.Next(0x30);
  if (!body || !outer.AtEnd()) return why = "the key is not well-formed DER", std::nullopt;
  DerReader in(*body);
  const auto version = in.Next(0x02);
  const auto algorithm = in.Next(0x30);
  const auto inner = in.Next(0x04);
  if (!version || !algorithm || !inner) return why = "the key is not PKCS#8", std::nullopt;
  if (*algorithm != std::string(kEcPublicKey) + std::string(kPrime256v1)) {
    return why = "the key is not an ECDSA P-256 key, the only kind the updater accepts", std::nullopt;
  }
  return ReadEcPrivateKey(*inner, true, why);
}

std::string WhyNoPublicKey(std::string_view pem) {
  return pem.find("PRIVATE KEY-----") != std::string_view::npos
             ? "this is a private key; verify checks with the public key (publisher-public.pem), and the "
               "private key belongs only where releases are signed"
             : "no PEM public key (\"BEGIN PUBLIC KEY\")";
}

std::string P256Spki(const std::string& x, const std::string& y) {
  const std::string algorithm = Tlv(0x30, std::string(kEcPublicKey) + std::string(kPrime256v1));
  return Tlv(0x30, algorithm + Tlv(0x03, std::string("\0\x04", 2) + x + y));
}

std::string EncodePublicKeyPem(const std::string& spki) { return Pem("PUBLIC KEY", spki); }

std::string DerSignature(std::string_view rs) {
  const auto integer = [](std::string_view number) {
    while (number.size() > 1 && number.front() == '\0' && !(static_cast<unsigned char>(number[1]) & 0x80)) {
      number.remove_prefix(1);
    }
    std::string content(number);
    if (static_cast<unsigned char>(content.front()) & 0x80) content.insert(content.begin(), '\0');
    return Tlv(0x02, content);
  };
  return Tlv(0x30, integer(rs.substr(0, kCoordinate)) + integer(rs.substr(kCoordinate, kCoordinate)));
}

}  // namespace pellarion::publish
