// The release description's text: read back exactly as written, and any
// other text refused with a reason rather than read loosely.
#include <gtest/gtest.h>

#include "versions/ReleaseDescription.h"
#include "versions/Versions.h"

namespace pellarion {
namespace {

ReleaseDescription Sample() {
  ReleaseDescription d;
  d.release = 17;
  d.expires = "2027-01-31T23:59:59Z";
  d.application = {{3, 1, 0, 12}, 183296, std::string(32, '\xA5')};
  d.updater = {{2, 0, 0, 56}, 229376, std::string(32, '\x0F')};
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
  EXPECT_EQ(d.expires, sample.expires);
  EXPECT_EQ(d.Entry(PackageRole::Application).version.Dotted(), "3.1.0.12");
  EXPECT_EQ(d.Entry(PackageRole::Updater).length, 229376u);
  EXPECT_EQ(d.updater.sha256, sample.updater.sha256);
  EXPECT_EQ(d.signature, sample.signature);
  EXPECT_EQ(d.signedLength, text.find("signature "));
  EXPECT_EQ(ParseUtcTime(d.expires), 1801439999);

  ReleaseDescription lasting = sample;
  lasting.expires.clear();
  EXPECT_TRUE(ReadReleaseDescription(SignedReleaseText(lasting) + SignatureLine("x")).description);
  const ReleaseReading unsigned_ = ReadReleaseDescription("1*1*2\r\n1*1*2\r\n1*1*2\r\n");
  EXPECT_TRUE(unsigned_.absent);
  EXPECT_FALSE(unsigned_.description);

  const auto edited = [&](const std::string& from, const std::string& to) { return ReplaceText(text, from, to); };
  const std::size_t app = text.find("application "), updater = text.find("updater "), end = text.find("signature ");
  const std::string swapped = text.substr(0, app) + text.substr(updater, end - updater) +
                              text.substr(app, updater - app) + text.substr(end);
  const std::string appHash = HexDigest(sample.application.sha256);
  const struct {
    const char* name;
    std::string text;
    const char* problem;
  } refused[] = {
      {"LF line ends", edited("\r\n", "\n"), "CR LF"},
      {"a lone CR in a line", edited("release 17", "release\r17"), "CR LF"},
      {"no line end at the end", text.substr(0, text.size() - 2), "CR LF"},
      {"two manifest lines", text.substr(19), "line 4"},
      {"another format", edited("pellarion-release 1", "pellarion-release 2"), "line 4"},
      {"release 0", edited("release 17", "release 0"), "line 5"},
      {"release with a leading zero", edited("release 17", "release 017"), "line 5"},
      {"release beyond 18 digits", edited("release 17", "release 1234567890123456789"), "line 5"},
      {"a date that does not exist", edited("2027-01-31", "2027-02-31"), "line 6"},
      {"an expiry without its zone", edited("23:59:59Z", "23:59:59"), "line 6"},
      {"roles in the other order", swapped, "line 7"},
      {"a version with three parts", edited("3.1.0.12 ", "3.1.12 "), "line 7"},
      {"a version part beyond 65535", edited("3.1.0.12 ", "3.1.0.65536 "), "line 7"},
      {"upper-case hex", edited(appHash, std::string(64, 'A')), "line 7"},
      {"a short hash", edited(appHash, appHash.substr(2)), "line 7"},
      {"two spaces", edited("updater 2", "updater  2"), "line 8"},
      {"no signature line", text.substr(0, text.find("signature ")), "line 9"},
      {"a signature that is not base64", edited("signature ", "signature !"), "line 9"},
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

}  // namespace
}  // namespace pellarion
