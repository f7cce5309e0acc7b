// The signed release as a keyed updater trusts it, on the in-memory platform:
// whose signature counts and what the trust record keeps of it, and the
// workstation's identity and draw for a rollout.
#include <gtest/gtest.h>

#include "gate/SignedRelease.h"
#include "tests/support/FakePlatform.h"
#include "tests/support/FakeRelease.h"

namespace pellarion {
namespace {

using testing::FakeCertificate, testing::FakePlatform;

TEST(SignedReleaseTest, AReleaseKeyCountsOnlyWithTheRootsCertificateOfTheNewestSequence) {
  FakePlatform fake;
  const std::string root = "root key", key1 = "release key 1", key2 = "release key 2";
  const auto release = [&](std::uint64_t number, const std::string& signer, const std::string& certificate) {
    return testing::FakeSignedRelease(number, {"app", "3.1.0.12"}, {"updater", "2.0.0.56"}, signer,
                                      {.certificate = certificate});
  };
  const std::string before = "server 4\r\ncertificate 2\r\n";
  const struct {
    const char* name;
    std::string text;
    const char* refusal;   // nothing: taken
    const char* recorded;  // the record afterwards
  } cases[] = {
      {"signed by the root itself", release(5, root, ""), nullptr, "server 5\r\ncertificate 2\r\n"},
      {"by a certified key", release(5, key1, FakeCertificate(key1, 2, root)), nullptr,
       "server 5\r\ncertificate 2\r\n"},
      // A newer key replaces the ones before it and the numbers they signed.
      {"by a newer key, a lower number", release(1, key2, FakeCertificate(key2, 3, root)), nullptr,
       "server 1\r\ncertificate 3\r\n"},
      {"by an uncertified key", release(5, key1, ""), "the signature is not the publisher's", nullptr},
      {"by a key of a lower sequence", release(9, key1, FakeCertificate(key1, 1, root)),
       "the release key's certificate (sequence 1) was replaced by a newer one, seen before", nullptr},
      {"by a key whose certificate expired", release(5, key1, FakeCertificate(key1, 3, root, "2026-12-07T23:59:59Z")),
       "the release key's certificate (sequence 3) has expired", nullptr},
      {"by a key another root certified", release(5, key1, FakeCertificate(key1, 3, "another root")),
       "the release key's certificate (sequence 3) is not signed by the publisher's root key", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TrustRecord record = ReadTrustRecord(before, "server");
    const ReadFrom where{kServerChannel, "u"};
    const TrustedRelease trusted = TrustRelease(fake, c.text, root, record, where);
    EXPECT_EQ(trusted.reason, c.refusal ? c.refusal : "");
    if (!trusted.description) continue;
    EXPECT_TRUE(RecordTrusted(record, trusted, where));
    EXPECT_EQ(TrustRecordText(record), c.recorded);
  }
}

TEST(SignedReleaseTest, AServersChannelIsItsHostNameInLowerCaseWithoutThePort) {
  EXPECT_EQ(ReadFromServer("https://Updates.Example.com:8443/update/update.txt").host, "updates.example.com");
  EXPECT_EQ(ReadFromServer("http://[::1]:8080/update/update.txt").host, "[::1]");
}

TEST(SignedReleaseTest, TheIdentityIsKeptAndTheDrawIsFreshOnlyForOtherPackages) {
  FakePlatform fake;  // its random bytes count on from call to call: 00 01 02...
  const std::string path = "C:\\Pellarion\\update.identity";
  // Missing, read back, malformed.
  const struct {
    const char* before;
    bool made;
    const char* after;
  } files[] = {{nullptr, true, "000102030405060708090a0b0c0d0e0f\r\n"},
               {"000102030405060708090a0b0c0d0e0f\r\n", false, "000102030405060708090a0b0c0d0e0f\r\n"},
               {"000102030405060708090A0B0C0D0E0F\r\n", true, "101112131415161718191a1b1c1d1e1f\r\n"}};
  for (const auto& f : files) {
    if (f.before) fake.AddFile(path, f.before);
    bool made = false;
    const std::string identity = WorkstationIdentity(fake, path, made);
    EXPECT_EQ(made, f.made);
    EXPECT_EQ(fake.File(path).contents, f.after);
    EXPECT_EQ(HexDigest(identity) + "\r\n", f.after);
  }

  ReleaseDescription release, widened, next;
  release.application.sha256 = std::string(32, '\x11');
  release.updater.sha256 = std::string(32, '\x22');
  widened = release;  // another number and rollout: the same draw
  widened.release = 18;
  widened.rollout = 50;
  next = release;  // other packages: a fresh draw
  next.application.sha256[0] = '\x12';
  // SHA-256 of 00 01 .. 0f, 32 x 11, 32 x 22 begins 05ddefc7 (Python's hashlib).
  std::string identity;
  for (char i = 0; i < 16; ++i) identity += i;
  EXPECT_EQ(RolloutDraw(fake, identity, release), 0x05ddefc7 % 100);
  int same = 0, under20 = 0;
  for (int workstation = 0; workstation < 400; ++workstation) {
    identity.replace(0, 4, reinterpret_cast<const char*>(&workstation), 4);
    const int draw = RolloutDraw(fake, identity, release);
    EXPECT_EQ(RolloutDraw(fake, identity, widened), draw);
    same += RolloutDraw(fake, identity, next) == draw ? 1 : 0;
    under20 += draw < 20 ? 1 : 0;
  }
  // About 1 in 100 equal by chance, and a fifth below 20 (fixed identities:
  // these figures do not change from run to run).
  EXPECT_LT(same, 12);
  EXPECT_GT(under20, 55);
  EXPECT_LT(under20, 105);
}

}  // namespace
}  // namespace pellarion
