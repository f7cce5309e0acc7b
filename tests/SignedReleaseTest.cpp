// The signed release as a keyed updater trusts it, on the in-memory platform:
// where it was read, who signed it, what the trust record keeps of it, and
// which workstations take it during a rollout.
#include <gtest/gtest.h>

#include <set>

#include "gate/SignedRelease.h"
#include "tests/support/FakePlatform.h"
#include "tests/support/FakeRelease.h"
#include "tests/support/FaultInjectingPlatform.h"

namespace pellarion {
namespace {

using testing::FakeCertificate, testing::FakeFile, testing::FakePlatform, testing::FakeSignedRelease;

const FakeFile kApp{"app 3.1.0.12", "3.1.0.12"}, kUpdater{"updater 2.0.0.56", "2.0.0.56"};
const std::string kRoot = "root key";

TEST(SignedReleaseTest, ADescriptionIsTakenOnlyFromAChannelItNames) {
  FakePlatform fake;
  const struct {
    std::vector<std::string> channels;
    std::string url;  // where the manifest was read; empty: the share
    const char* refusal;  // nothing: taken
  } cases[] = {
      {{"server"}, "https://Updates.Example.com:8443/update/update.txt", nullptr},
      {{"share"}, "https://Updates.Example.com:8443/update/update.txt",
       "meant for share, not for the server updates.example.com it was read from"},
      {{"server"}, "", "meant for server, not for the share it was read from"},
      {{"share", "updates.example.com"}, "", nullptr},
      {{"updates.example.com"}, "http://UPDATES.example.com/update/update.txt", nullptr},
      {{"updates.example.com"}, "http://mirror.example.com/update/update.txt",
       "meant for updates.example.com, not for the server mirror.example.com it was read from"},
      {{"updates.example.com"}, "http://updates.example.com.evil/update/update.txt",
       "not for the server updates.example.com.evil it"},
      {{"127.0.0.1"}, "http://127.0.0.1:8080/update/update.txt", nullptr},
      {{"server"}, "http://[::1]:8080/update/update.txt", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url + " " + c.channels.front());
    const ReadFrom where = c.url.empty() ? ReadFrom{kShareChannel, ""} : ReadFromServer(c.url);
    const std::string text = FakeSignedRelease(5, kApp, kUpdater, kRoot, {.channels = c.channels});
    const TrustedRelease trusted = TrustRelease(fake, text, kRoot, {}, where);
    EXPECT_EQ(trusted.description.has_value(), c.refusal == nullptr) << trusted.reason;
    if (c.refusal) {
      EXPECT_NE(trusted.reason.find(c.refusal), std::string::npos) << trusted.reason;
    }
  }
  EXPECT_EQ(ReadFromServer("http://[::1]:8080/update/update.txt").host, "[::1]");
}

// The record before each case: server release 4, certificate sequence 2.
TEST(SignedReleaseTest, AReleaseKeyCountsOnlyWithTheRootsCertificateOfTheNewestSequence) {
  FakePlatform fake;
  const std::string key1 = "release key 1", key2 = "release key 2";
  const auto certified = [&](std::uint64_t release, const std::string& signer, const std::string& certificate) {
    return FakeSignedRelease(release, kApp, kUpdater, signer, {.certificate = certificate});
  };
  const struct {
    const char* name;
    std::string text;
    const char* refusal;   // nothing: taken
    const char* recorded;  // the record afterwards
  } cases[] = {
      {"signed by the root itself", certified(5, kRoot, ""), nullptr, "server 5\r\ncertificate 2\r\n"},
      {"by a key the root certified", certified(5, key1, FakeCertificate(key1, 2, kRoot)), nullptr,
       "server 5\r\ncertificate 2\r\n"},
      // A newer key replaces the ones before it and the numbers they signed.
      {"by a key of a newer certificate, with a lower release", certified(1, key2, FakeCertificate(key2, 3, kRoot)),
       nullptr, "server 1\r\ncertificate 3\r\n"},
      {"a lower release by a key of the same certificate", certified(3, key1, FakeCertificate(key1, 2, kRoot)),
       "older than release 4", nullptr},
      {"by a key no certificate names", certified(5, key1, ""), "the signature is not the publisher's", nullptr},
      {"by a key of a lower sequence", certified(9, key1, FakeCertificate(key1, 1, kRoot)),
       "the release key's certificate (sequence 1) was replaced by a newer one, seen before", nullptr},
      {"by a key whose certificate expired",
       certified(5, key1, FakeCertificate(key1, 3, kRoot, "2026-12-07T23:59:59Z")),
       "the release key's certificate (sequence 3) has expired", nullptr},
      {"by a key another root certified", certified(5, key1, FakeCertificate(key1, 3, "another root")),
       "the release key's certificate (sequence 3) is not signed by the publisher's root key", nullptr},
      {"by another key than the certified one", certified(5, key2, FakeCertificate(key1, 3, kRoot)),
       "the signature is not the certified release key's", nullptr},
      {"a certificate that is not one", certified(5, key1, "pellarion-key-certificate 1\r\n"),
       "the key certificate: ", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TrustRecord record = ReadTrustRecord("server 4\r\ncertificate 2\r\n", "server");
    const ReadFrom where{kServerChannel, "u"};
    const TrustedRelease trusted = TrustRelease(fake, c.text, kRoot, record, where);
    ASSERT_EQ(trusted.description.has_value(), c.refusal == nullptr) << trusted.reason;
    if (c.refusal) {
      EXPECT_NE(trusted.reason.find(c.refusal), std::string::npos) << trusted.reason;
      continue;
    }
    const bool changed = RecordTrusted(record, trusted, where);
    EXPECT_EQ(TrustRecordText(record), c.recorded);
    EXPECT_EQ(changed, TrustRecordText(record) != "server 4\r\ncertificate 2\r\n");
  }
}

TEST(SignedReleaseTest, TheIdentityIsMadeOnceAndKept) {
  const std::string path = "C:\\Pellarion\\update.identity";
  const std::string first = "000102030405060708090a0b0c0d0e0f\r\n";
  FakePlatform fake;  // its random bytes count on from call to call: 00 01 02...
  const struct {
    const char* name;
    const char* before;  // the file; nothing: missing
    testing::Op fault;   // FileExists: none
    bool made;
    std::string after;  // the file's text afterwards
  } cases[] = {
      {"missing", nullptr, testing::Op::FileExists, true, first},
      {"kept", first.c_str(), testing::Op::FileExists, false, first},
      {"too short", "0001\r\n", testing::Op::FileExists, true, "101112131415161718191a1b1c1d1e1f\r\n"},
      {"in upper case", "000102030405060708090A0B0C0D0E0F\r\n", testing::Op::FileExists, true,
       "202122232425262728292a2b2c2d2e2f\r\n"},
      {"followed by more", "303132333435363738393a3b3c3d3e3f\r\nx", testing::Op::FileExists, true,
       "303132333435363738393a3b3c3d3e3f\r\n"},
      {"unreadable", first.c_str(), testing::Op::OpenInput, true, "404142434445464748494a4b4c4d4e4f\r\n"},
      {"cannot be written", nullptr, testing::Op::WriteRecord, true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (fake.HasFile(path)) fake.RemoveFile(path);
    if (c.before) fake.AddFile(path, c.before);
    testing::FaultInjectingPlatform faulty(fake);
    if (c.fault != testing::Op::FileExists) faulty.Fail(c.fault, "update.identity");
    bool made = false;
    const std::string identity = WorkstationIdentity(faulty, path, made);
    EXPECT_EQ(made, c.made);
    EXPECT_EQ(identity.size(), 16u);
    EXPECT_EQ(fake.HasFile(path) ? fake.File(path).contents : "", c.after);
    if (!c.after.empty()) {
      EXPECT_EQ(HexDigest(identity) + "\r\n", c.after);
    }
  }
}

TEST(SignedReleaseTest, TheDrawIsTheSameAtEveryRunAndFreshForOtherPackages) {
  FakePlatform fake;
  ReleaseDescription release;
  release.application.sha256 = std::string(32, '\x11');
  release.updater.sha256 = std::string(32, '\x22');
  // The first four bytes of SHA-256(identity, application, updater), 05ddefc7
  // (as Python's hashlib gives them), modulo 100.
  std::string identity;
  for (char i = 0; i < 16; ++i) identity += i;
  EXPECT_EQ(RolloutDraw(fake, identity, release), 98430919 % 100);

  // A release of the same packages with another number, rollout or expiry
  // (a widened one) draws the same; other packages draw afresh.
  ReleaseDescription widened = release;
  widened.release = 18;
  widened.rollout = 50;
  widened.expires = "2027-01-31T23:59:59Z";
  ReleaseDescription next = release;
  next.application.sha256[0] = '\x12';
  std::set<int> draws;
  int same = 0, under20 = 0;
  for (int workstation = 0; workstation < 400; ++workstation) {
    const std::string id = std::string(12, '\0') + std::string(reinterpret_cast<const char*>(&workstation), 4);
    const int draw = RolloutDraw(fake, id, release);
    ASSERT_GE(draw, 0);
    ASSERT_LT(draw, 100);
    EXPECT_EQ(RolloutDraw(fake, id, release), draw);
    EXPECT_EQ(RolloutDraw(fake, id, widened), draw);
    same += RolloutDraw(fake, id, next) == draw ? 1 : 0;
    under20 += draw < 20 ? 1 : 0;
    draws.insert(draw);
  }
  // About 1 in 100 equal by chance; about a fifth of the fleet below 20
  // (these identities are fixed: the figures cannot change between runs).
  EXPECT_LT(same, 12);
  EXPECT_GT(under20, 55);
  EXPECT_LT(under20, 105);
  EXPECT_GT(draws.size(), 95u);
}

}  // namespace
}  // namespace pellarion
