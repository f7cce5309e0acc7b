#include "versions/SignatureText.h"

#include <cstdint>

namespace pellarion {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kPemBegin = "-----BEGIN PUBLIC KEY-----";
constexpr std::string_view kPemEnd = "-----END PUBLIC KEY-----";
// A key file is a few hundred bytes.
constexpr std::size_t kMaxPemBody = 16 * 1024;

int SextetOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// True when `der` is exactly one DER SEQUENCE (tag, definite length, body).
bool IsOneDerSequence(const std::string& der) {
  if (der.size() < 2 || static_cast<unsigned char>(der[0]) != 0x30) return false;
  const unsigned char first = static_cast<unsigned char>(der[1]);
  std::size_t header = 2, length = first;
  if (first & 0x80) {
    const std::size_t octets = first & 0x7F;
    if (octets == 0 || octets > 4 || der.size() < 2 + octets) return false;
    length = 0;
    for (std::size_t i = 0; i < octets; ++i) {
      length = (length << 8) | static_cast<unsigned char>(der[2 + i]);
    }
    header += octets;
  }
  return der.size() - header == length;
}

}  // namespace

std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int padding = 0;
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const char c = text[i + j];
      if (c == '=' && last && j >= 2) {
        ++padding;
        group <<= 6;
        continue;
      }
      const int sextet = SextetOf(c);
      if (sextet < 0 || padding > 0) return std::nullopt;  // a character after '='
      group = (group << 6) | static_cast<std::uint32_t>(sextet);
    }
    // The bits that padding leaves over must be zero: otherwise two texts
    // would decode to the same bytes.
    if ((padding == 1 && (group & 0xFF) != 0) || (padding == 2 && (group & 0xFFFF) != 0)) {
      return std::nullopt;
    }
    out.push_back(static_cast<char>(group >> 16));
    if (padding < 2) out.push_back(static_cast<char>(group >> 8));
    if (padding < 1) out.push_back(static_cast<char>(group));
  }
  return out;
}

std::string EncodeBase64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 3; ++j) {
      group = (group << 8) | (j < n ? static_cast<unsigned char>(bytes[i + j]) : 0u);
    }
    for (std::size_t j = 0; j < 4; ++j) {
      out.push_back(j <= n ? kAlphabet[(group >> (18 - 6 * j)) & 0x3F] : '=');
    }
  }
  return out;
}

std::optional<std::string> DecodePublicKeyPem(std::string_view pem) {
  const std::size_t begin = pem.find(kPemBegin);
  if (begin == std::string_view::npos) return std::nullopt;
  const std::size_t bodyStart = begin + kPemBegin.size();
  const std::size_t end = pem.find(kPemEnd, bodyStart);
  if (end == std::string_view::npos || end - bodyStart > kMaxPemBody) return std::nullopt;
  // The body is base64 broken into lines: the line breaks come out before
  // decoding.
  std::string body;
  for (const char c : pem.substr(bodyStart, end - bodyStart)) {
    if (!IsBlank(c)) body.push_back(c);
  }
  auto der = DecodeBase64(body);
  if (!der || !IsOneDerSequence(*der)) return std::nullopt;
  return der;
}

}  // namespace pellarion
