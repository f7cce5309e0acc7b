// The manifest reader: the value for key n is field n of line n.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "versions/LineFile.h"
#include "versions/Manifest.h"

namespace pellarion {
namespace {

using ::testing::ElementsAre;

// The manifest's value for key n, as the run reads it.
void ReadManifestValue(const std::string& manifest, int n, ManifestVariables& vars) {
  TakeManifestLine(ReadFileLine(manifest, static_cast<std::int16_t>(n)), n, vars);
}

TEST(ManifestTest, TheValueForKeyNIsFieldNOfLineN) {
  ManifestVariables vars;
  const std::string manifest = "20056*x*y\r\nanything\r\na*b*20060\r\n";
  ReadManifestValue(manifest, 1, vars);
  EXPECT_EQ(vars.ManifestValue, "20056");
  ReadManifestValue(manifest, 3, vars);
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
    ManifestVariables vars;
    ReadManifestValue(c.contents, 1, vars);
    EXPECT_EQ(vars.ManifestValue, "20056") << c.name;
    ReadManifestValue(c.contents, 3, vars);
    EXPECT_EQ(vars.ManifestValue, "") << c.name;
  }
}

}  // namespace
}  // namespace pellarion
