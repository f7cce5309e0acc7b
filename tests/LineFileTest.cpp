// Numbered lines of text files and the manifest reader.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/FakePlatform.h"
#include "tests/support/FaultInjectingPlatform.h"
#include "versions/LineFile.h"
#include "versions/Manifest.h"

namespace pellarion {
namespace {

using ::testing::ElementsAre;
using testing::FakePlatform;

const std::string kFile = "C:\\Pellarion\\host.dll";
const std::string kManifest = "C:\\Pellarion\\update.txt";

TEST(LineFileTest, LinesEndAtCrOrCrLfAndALoneLfStaysInside) {
  struct Case {
    std::string contents;
    std::vector<std::string> lines;  // lines 1, 2, 3...; one more reads empty
  } cases[] = {
      {"one\r\ntwo\r\nthree", {"one", "two", "three"}},
      {"one\rtwo\r", {"one", "two"}},
      {"one\ntwo\nthree", {"one\ntwo\nthree"}},  // LF only: one single line
      {"a\r\n\r\nc\r\n", {"a", "", "c"}},
      {"\\\\host\\share\\\r\n", {"\\\\host\\share\\"}},
      {"", {}},
  };
  for (const Case& c : cases) {
    FakePlatform fake;
    fake.AddFile(kFile, c.contents);
    for (std::size_t i = 0; i <= c.lines.size(); ++i) {
      const std::string expected = i < c.lines.size() ? c.lines[i] : "";
      EXPECT_EQ(ReadFileLine(fake, kFile, static_cast<std::int16_t>(i + 1)), expected)
          << "line " << i + 1 << " of \"" << c.contents << '"';
    }
    EXPECT_EQ(ReadFileLine(fake, kFile, 0), "");
  }
  FakePlatform none;
  EXPECT_THROW(ReadFileLine(none, kFile, 1), PlatformError);
}

TEST(LineFileTest, TheLineCounterStopsAt32767Lines) {
  std::string lines;
  for (int i = 1; i <= 32767; ++i) lines += std::to_string(i) + "\r\n";
  FakePlatform fake;
  fake.AddFile(kFile, lines);
  EXPECT_EQ(ReadFileLine(fake, kFile, 1), "1");
  EXPECT_EQ(ReadFileLine(fake, kFile, 32767), "32767");
  // One line more and the read fails, whichever line was asked for.
  fake.AddFile(kFile, lines + "32768");
  EXPECT_THROW(ReadFileLine(fake, kFile, 1), PlatformError);

  // A long line costs no more than its own length.
  fake.AddFile(kFile, "head\r\n" + std::string(8 << 20, 'x') + "\r\ntail");
  EXPECT_EQ(ReadFileLine(fake, kFile, 3), "tail");
  EXPECT_EQ(ReadFileLine(fake, kFile, 2).size(), 8u << 20);
}

TEST(ManifestTest, TheValueForKeyNIsFieldNOfLineN) {
  FakePlatform fake;
  ManifestVariables vars;
  fake.AddFile(kManifest, "20056*x*y\r\nanything\r\na*b*20060\r\n");
  ReadManifestValue(fake, kManifest, 1, vars);
  EXPECT_EQ(vars.ManifestValue, "20056");
  ReadManifestValue(fake, kManifest, 3, vars);
  EXPECT_EQ(vars.ManifestValue, "20060");
  EXPECT_EQ(vars.ManifestLine, "a*b*20060");
  EXPECT_THAT(vars.ManifestFields, ElementsAre("a", "b", "20060"));
}

TEST(ManifestTest, AMissingKeyReadsAsEmptyNeverAsAnEarlierValue) {
  struct Case {
    const char* name;
    std::string contents;
  } cases[] = {
      {"one line", "20056*1*2\r\n"},
      {"line feeds only", "20056*1*2\n3*4*5\nx*y*20060\n"},
      {"third line too short", "20056\r\n\r\na*b\r\n"},
      {"empty third line", "20056\r\nx\r\n\r\n"},
  };
  for (const Case& c : cases) {
    FakePlatform fake;
    fake.AddFile(kManifest, c.contents);
    ManifestVariables vars;
    ReadManifestValue(fake, kManifest, 1, vars);
    EXPECT_EQ(vars.ManifestValue, "20056") << c.name;
    ReadManifestValue(fake, kManifest, 3, vars);
    EXPECT_EQ(vars.ManifestValue, "") << c.name;
  }

  // No manifest at all: empty too, and the earlier line stays as it was.
  FakePlatform fake;
  ManifestVariables vars;
  vars.ManifestLine = "old*line";
  vars.ManifestValue = "20056";
  ReadManifestValue(fake, kManifest, 1, vars);
  EXPECT_EQ(vars.ManifestValue, "");
  EXPECT_EQ(vars.ManifestLine, "old*line");
}

}  // namespace
}  // namespace pellarion
