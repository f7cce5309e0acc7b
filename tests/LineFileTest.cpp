// Numbered lines of text files.
#include <gtest/gtest.h>

#include "gate/Files.h"
#include "tests/support/FakePlatform.h"
#include "versions/LineFile.h"

namespace pellarion {
namespace {

using testing::FakePlatform;

const std::string kFile = "C:\\Pellarion\\host.dll";

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
    for (std::size_t i = 0; i <= c.lines.size(); ++i) {
      const std::string expected = i < c.lines.size() ? c.lines[i] : "";
      EXPECT_EQ(ReadFileLine(c.contents, static_cast<std::int16_t>(i + 1)), expected)
          << "line " << i + 1 << " of \"" << c.contents << '"';
    }
    EXPECT_EQ(ReadFileLine(c.contents, 0), "");
  }
  // Through the platform, in pieces: a line that spans pieces is whole.
  FakePlatform fake;
  fake.AddFile(kFile, std::string(20000, 'a') + "\r\n" + std::string(20000, 'b'));
  EXPECT_EQ(ReadFileLine(fake, kFile, 2), std::string(20000, 'b'));
  fake.RemoveFile(kFile);
  EXPECT_THROW(ReadFileLine(fake, kFile, 1), PlatformError);
}

TEST(LineFileTest, TheLineCounterStopsAt32767Lines) {
  std::string lines;
  for (int i = 1; i <= 32767; ++i) lines += std::to_string(i) + "\r\n";
  EXPECT_EQ(ReadFileLine(lines, 1), "1");
  EXPECT_EQ(ReadFileLine(lines, 32767), "32767");
  // One line more and the read fails, whichever line was asked for.
  EXPECT_THROW(ReadFileLine(lines + "32768", 1), TooManyLines);

  // A line longer than 64 KiB reads as nothing and costs no more than the
  // limit; the lines around it are read as usual.
  const std::string text = "head\r\n" + std::string(8 << 20, 'x') + "\r\ntail";
  EXPECT_EQ(ReadFileLine(text, 3), "tail");
  EXPECT_EQ(ReadFileLine(text, 2), "");
  EXPECT_EQ(ReadFileLine("x\r\n" + std::string(kMaxLineBytes, 'y'), 2).size(), kMaxLineBytes);
}

}  // namespace
}  // namespace pellarion
