// The release description's text, the key certificate's and the trust
// record's: read back exactly as written, and any other text refused with a
// reason rather than read loosely.
#include <gtest/gtest.h>

#include "versions/ReleaseDescription.h"
#include "versions/Versions.h"

namespace pellarion {
namespace {

ReleaseDescription Sample() {
  ReleaseDescription d;
  d.release = 17;
  d.channels = {"server", "updates.pellarion.example"};
  d.expires = "2027-01-31T23:59:59Z";
  d.rollout = 20;
  d.certificate = "pellarion-key-certificate 1\r\n...";
  d.application = {{3, 1, 0, 12}, 183296, std::string(32, '\xA5')};
  d.applicationDeltas = {{std::string(32, '\x11'), 4096, std::string(32, '\x22')},
                         {std::string(32, '\x33'), 8192, std::string(32, '\x44')}};
  d.updater = {{2, 0, 0, 56}, 229376, std::string(32, '\x0F')};
  d.updaterDeltas = {{std::string(32, '\x55'), 1024, std::string(32, '\x66')}};
  d.signature = "\x30\x06\x02\x01\x01\x02\x01\x02";
  return d;
}

TEST(ReleaseDescriptionTest, ReadsBackWhatItWritesAndNothingElse) {
  const ReleaseDescription sample = Sample();
  const std::string text = SignedReleaseText(sample) + SignatureLine(sample.signature);
  const ReleaseReading good = ReadReleaseDescription(text);
  ASSERT_TRUE(good.description) << good.problem;
  const ReleaseDescription& d = *good.description;
  EXPECT_EQ(text.substr(0, 19 * 3), "31012*31012*20056\r\n31012*31012*20056\r\n31012*31012*20056\r\n");
  EXPECT_EQ(d.release, 17u);
  EXPECT_EQ(d.channels, sample.channels);
  EXPECT_TRUE(d.Names("server"));
  EXPECT_FALSE(d.Names("share"));
  EXPECT_EQ(d.expires, sample.expires);
  EXPECT_EQ(d.rollout, 20);
  EXPECT_EQ(d.certificate, sample.certificate);
  EXPECT_EQ(d.Entry(PackageRole::Application).version.Dotted(), "3.1.0.12");
  EXPECT_EQ(d.Entry(PackageRole::Updater).length, 229376u);
  EXPECT_EQ(d.updater.sha256, sample.updater.sha256);
  ASSERT_EQ(d.Deltas(PackageRole::Application).size(), 2u);
  EXPECT_EQ(d.applicationDeltas[1].baseSha256, sample.applicationDeltas[1].baseSha256);
  EXPECT_EQ(d.applicationDeltas[1].length, 8192u);
  ASSERT_EQ(d.Deltas(PackageRole::Updater).size(), 1u);
  EXPECT_EQ(d.updaterDeltas[0].sha256, sample.updaterDeltas[0].sha256);
  EXPECT_EQ(d.signature, sample.signature);
  EXPECT_EQ(d.signedLength, text.find("signature "));
  EXPECT_EQ(ParseUtcTime(d.expires), 1801439999);

  // The optional lines may all be left out; a rollout of 100 is no line.
  ReleaseDescription plain = sample;
  plain.expires.clear();
  plain.rollout = 100;
  plain.certificate.clear();
  plain.applicationDeltas.clear();
  plain.updaterDeltas.clear();
  const std::string plainText = SignedReleaseText(plain) + SignatureLine("x");
  EXPECT_EQ(plainText.find("rollout"), std::string::npos);
  EXPECT_TRUE(ReadReleaseDescription(plainText).description);
  const ReleaseReading unsigned_ = ReadReleaseDescription("1*1*2\r\n1*1*2\r\n1*1*2\r\n");
  EXPECT_TRUE(unsigned_.absent);
  EXPECT_FALSE(unsigned_.description);

  const auto edited = [&](const std::string& from, const std::string& to) { return ReplaceText(text, from, to); };
  const std::size_t app = text.find("application "), updater = text.find("updater "), end = text.find("signature ");
  const std::string swapped = text.substr(0, app) + text.substr(updater, end - updater) +
                              text.substr(app, updater - app) + text.substr(end);
  const std::string appHash = HexDigest(sample.application.sha256);
  const std::string firstBase = HexDigest(sample.applicationDeltas[0].baseSha256);
  const std::string secondBase = HexDigest(sample.applicationDeltas[1].baseSha256);
  const struct {
    const char* name;
    std::string text;
    const char* problem;
  } refused[] = {
      {"LF line ends", edited("\r\n", "\n"), "CR LF"},
      {"a lone CR in a line", edited("release 17", "release\r17"), "CR LF"},
      {"no line end at the end", text.substr(0, text.size() - 2), "CR LF"},
      {"two manifest lines", text.substr(19), "line 4"},
      {"the first format, which names no channel", edited("pellarion-release 2", "pellarion-release 1"),
       "older format"},
      {"another format", edited("pellarion-release 2", "pellarion-release 3"), "line 4"},
      {"release 0", edited("release 17", "release 0"), "line 5"},
      {"release with a leading zero", edited("release 17", "release 017"), "line 5"},
      {"release beyond 18 digits", edited("release 17", "release 1234567890123456789"), "line 5"},
      {"no channel", edited("channel server updates.pellarion.example\r\n", ""), "line 6"},
      {"an empty channel", edited("channel server ", "channel  "), "line 6"},
      {"a channel in upper case", edited("channel server", "channel Server"), "line 6"},
      {"a channel named twice", edited("updates.pellarion.example", "server"), "line 6"},
      {"a date that does not exist", edited("2027-01-31", "2027-02-31"), "line 7"},
      {"an expiry without its zone", edited("23:59:59Z", "23:59:59"), "line 7"},
      {"a rollout of 100, written as none", edited("rollout 20", "rollout 100"), "line 8"},
      {"a rollout beyond 100", edited("rollout 20", "rollout 101"), "line 8"},
      {"a certificate that is not base64", edited("certificate ", "certificate !"), "line 9"},
      {"roles in the other order", swapped, "line 10"},
      {"a version with three parts", edited("3.1.0.12 ", "3.1.12 "), "line 10"},
      {"a version part beyond 65535", edited("3.1.0.12 ", "3.1.0.65536 "), "line 10"},
      {"upper-case hex", edited(appHash, std::string(64, 'A')), "line 10"},
      {"a short hash", edited(appHash, appHash.substr(2)), "line 10"},
      {"a delta of the other role", edited("delta application " + firstBase, "delta updater " + firstBase), "line 11"},
      {"a base listed twice", edited(secondBase, firstBase), "line 12"},
      {"a delta of no bytes", edited(" 4096 ", " 0 "), "line 11"},
      {"two spaces", edited("updater 2", "updater  2"), "line 13"},
      {"no signature line", text.substr(0, text.find("signature ")), "line 15"},
      {"a signature that is not base64", edited("signature ", "signature !"), "line 15"},
      {"a line after the signature", text + "note\r\n", "lines"},
      {"manifest offers another application", edited("31012*31012*20056\r\n31012*31012*20056\r\n31012",
                                                     "31012*31012*20056\r\n31012*31012*20056\r\n31013"),
       "manifest lines"},
  };
  for (const auto& c : refused) {
    const ReleaseReading reading = ReadReleaseDescription(c.text);
    EXPECT_FALSE(reading.description) << c.name;
    EXPECT_NE(reading.problem.find(c.problem), std::string::npos) << c.name << ": " << reading.problem;
  }
}

TEST(ReleaseDescriptionTest, AKeyCertificateReadsBackAndNothingElse) {
  KeyCertificate sample;
  sample.key = std::string("\x30\x59\x30\x13", 4) + std::string(87, '\x7A');
  sample.sequence = 3;
  sample.expires = "2027-12-31T23:59:59Z";
  const std::string text = SignedCertificateText(sample) + SignatureLine("\x30\x06\x02\x01\x05\x02\x01\x06");
  const CertificateReading good = ReadKeyCertificate(text);
  ASSERT_TRUE(good.certificate) << good.problem;
  EXPECT_EQ(good.certificate->key, sample.key);
  EXPECT_EQ(good.certificate->sequence, 3u);
  EXPECT_EQ(good.certificate->expires, sample.expires);
  EXPECT_EQ(good.certificate->signedLength, text.find("signature "));

  const auto edited = [&](const std::string& from, const std::string& to) { return ReplaceText(text, from, to); };
  const struct {
    const char* name;
    std::string text;
  } refused[] = {
      {"another format", edited("certificate 1", "certificate 2")},
      {"sequence 0", edited("sequence 3", "sequence 0")},
      {"no key", edited("key ", "clef ")},
      {"an expiry that is no time", edited("2027-12-31T", "2027-12-31 ")},
      {"no signature", text.substr(0, text.find("signature "))},
      {"a line after the signature", text + "x\r\n"},
  };
  for (const auto& c : refused) EXPECT_FALSE(ReadKeyCertificate(c.text).certificate) << c.name;
}

TEST(ReleaseDescriptionTest, TheTrustRecordKeepsTheHighestPerChannelAndReadsTheOldBareNumber) {
  TrustRecord record;
  record.releases = {{"server", 17}, {"share", 20261208233211}};
  record.certificateSequence = 3;
  const std::string text = TrustRecordText(record);
  EXPECT_EQ(text, "server 17\r\nshare 20261208233211\r\ncertificate 3\r\n");
  const TrustRecord back = ReadTrustRecord(text, "server");
  EXPECT_EQ(back.Release("server"), 17u);
  EXPECT_EQ(back.Release("share"), 20261208233211u);
  EXPECT_EQ(back.Release("updates.pellarion.example"), 0u);
  EXPECT_EQ(back.certificateSequence, 3u);

  // Written before channels: the bare number counts for the reader's channel
  // alone. Lines that cannot be read count for nothing.
  EXPECT_EQ(ReadTrustRecord("7\r\n", "share").Release("share"), 7u);
  EXPECT_EQ(ReadTrustRecord("7\r\n", "share").Release("server"), 0u);
  const TrustRecord torn = ReadTrustRecord("server 17\r\nsha", "server");
  EXPECT_EQ(torn.Release("server"), 17u);
  EXPECT_EQ(torn.releases.size(), 1u);
  EXPECT_EQ(ReadTrustRecord("Server 9\r\nserver x\r\n", "server").releases.size(), 0u);
}

TEST(ReleaseDescriptionTest, ADeltaIsNamedAfterItsPackageAndBase) {
  EXPECT_EQ(DeltaFileName("Pellarion.bin", std::string(32, '\xA5')), "Pellarion.bin.from-a5a5a5a5a5a5a5a5.zst");
  EXPECT_TRUE(IsChannelName("updates.pellarion.example"));
  EXPECT_FALSE(IsChannelName("updates.pellarion.example:8443"));
  EXPECT_FALSE(IsChannelName(std::string(254, 'a')));
}

}  // namespace
}  // namespace pellarion
