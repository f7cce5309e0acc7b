#include "gate/SignedRelease.h"

#include <exception>

#include "gate/ContinueOnError.h"
#include "gate/Files.h"
#include "platform/Joined.h"

namespace pellarion {

namespace {

// A trust record holds a line or two per channel the folder was updated
// from; anything near this size was written by someone else.
constexpr std::size_t kMaxTrustRecordBytes = 4096;

bool Expired(const std::string& expires, std::int64_t nowUtc) {
  const auto end = ParseUtcTime(expires);
  return !expires.empty() && (!end || nowUtc > *end);
}

// Why the description `d` in `text` is not to be taken, or empty when it
// is; `sequence` is set to the sequence of the certificate that vouched for
// its key. Fails (PlatformError) when the system cannot check a signature.
std::string Check(Platform& platform, const std::string& text, const ReleaseDescription& d, const std::string& root,
                  const TrustRecord& seen, const ReadFrom& where, std::uint64_t& sequence) {
  const std::int64_t now = platform.UtcSeconds();
  const std::string* signer = &root;
  std::uint64_t floor = seen.Release(where.channel);
  CertificateReading reading;
  if (!d.certificate.empty()) {
    reading = ReadKeyCertificate(d.certificate);
    if (!reading.certificate) return reading.problem;
    const KeyCertificate& c = *reading.certificate;
    const char* why = nullptr;
    if (!SignedBy(platform, d.certificate, c.signedLength, c.signature, root)) {
      why = ") is not signed by the publisher's root key";
    } else if (c.sequence < seen.certificateSequence) {
      why = ") was replaced by a newer one, seen before";
    } else if (Expired(c.expires, now)) {
      why = ") has expired";
    }
    if (why) return Joined({"the release key's certificate (sequence ", std::to_string(c.sequence), why});
    // A newer key: what the keys before it signed counts for nothing.
    if (c.sequence > seen.certificateSequence) floor = 0;
    sequence = c.sequence;
    signer = &c.key;
  }
  if (!SignedBy(platform, text, d.signedLength, d.signature, *signer)) {
    return sequence != 0 ? "the signature is not the certified release key's" : "the signature is not the publisher's";
  }
  if (std::string why = CheckChannel(d, where); !why.empty()) return why;
  return CheckReleaseCurrent(d, floor, now);
}

}  // namespace

ReadFrom ReadFromServer(const std::string& manifestUrl) {
  std::size_t at = manifestUrl.find("://");
  at = at == std::string::npos ? 0 : at + 3;
  std::size_t end = manifestUrl.find_first_of(manifestUrl[at] == '[' ? "]" : ":/?#", at);
  if (end != std::string::npos && manifestUrl[end] == ']') ++end;
  ReadFrom where{kServerChannel, manifestUrl.substr(at, end - at)};
  for (char& c : where.host) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return where;
}

std::string CheckChannel(const ReleaseDescription& d, const ReadFrom& where) {
  if (d.Names(where.channel) || (!where.host.empty() && d.Names(where.host))) return "";
  std::string why = "meant for";
  for (const std::string& channel : d.channels) {
    why += ' ';
    why += channel;
  }
  why += ", not for the ";
  why += where.channel;
  if (!where.host.empty()) {
    why += ' ';
    why += where.host;
  }
  why += " it was read from";
  return why;
}

TrustedRelease TrustRelease(Platform& platform, const std::string& text, const std::string& rootKeySpki,
                            const TrustRecord& seen, const ReadFrom& where) {
  ReleaseReading reading = ReadReleaseDescription(text);
  TrustedRelease trusted{std::move(reading.description), 0, std::move(reading.problem)};
  if (!trusted.description) return trusted;
  try {
    trusted.reason = Check(platform, text, *trusted.description, rootKeySpki, seen, where,
                           trusted.certificateSequence);
  } catch (const std::exception& e) {
    trusted.reason = std::string("cannot check the signature: ") + e.what();
  }
  if (!trusted.reason.empty()) trusted.description.reset();
  return trusted;
}

bool SignedBy(Platform& platform, std::string_view text, std::size_t length, const std::string& derSignature,
              const std::string& spkiDer) {
  const std::unique_ptr<Sha256> hash = platform.StartSha256();
  hash->Add(text.data(), length);
  return platform.VerifySignature(hash->Finish(), derSignature, spkiDer);
}

TrustRecord ReadTrustRecordFile(Platform& platform, const std::string& path, std::string_view legacyChannel) {
  std::string text;  // none before the first valid release
  Try([&] { text = platform.FileExists(path) ? ReadSmallFile(platform, path, kMaxTrustRecordBytes) : ""; });
  return ReadTrustRecord(text, legacyChannel);
}

bool RecordTrusted(TrustRecord& record, const TrustedRelease& trusted, const ReadFrom& where) {
  const std::uint64_t before = record.Release(where.channel);
  const bool newKey = trusted.certificateSequence > record.certificateSequence;
  if (newKey) {
    record.releases.clear();
    record.certificateSequence = trusted.certificateSequence;
  }
  record.Raise(where.channel, trusted.description->release);
  return newKey || record.Release(where.channel) != before;
}

std::string WorkstationIdentity(Platform& platform, const std::string& path, bool& made) {
  std::string text;  // a file that is missing or cannot be read holds none
  Try([&] { text = ReadSmallFile(platform, path, 64); });
  if (auto identity = ParseHex(std::string_view(text).substr(0, 32), 16); identity && text.substr(32) == "\r\n") {
    return *identity;
  }
  std::string identity = platform.RandomBytes(16);
  made = true;
  Try([&] { platform.WriteRecord(path, HexDigest(identity) + "\r\n"); });
  return identity;
}

int RolloutDraw(Platform& platform, const std::string& identity, const ReleaseDescription& d) {
  const std::unique_ptr<Sha256> hash = platform.StartSha256();
  hash->Add(identity.data(), identity.size());
  hash->Add(d.application.sha256.data(), d.application.sha256.size());
  hash->Add(d.updater.sha256.data(), d.updater.sha256.size());
  const std::string digest = hash->Finish();
  std::uint32_t number = 0;
  for (int i = 0; i < 4; ++i) number = number << 8 | static_cast<unsigned char>(digest[i]);
  return static_cast<int>(number % 100);
}

}  // namespace pellarion
