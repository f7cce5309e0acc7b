// The window model: its defaults, the default URLs and when changes reach the
// screen.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "app/Form1.h"
#include "platform/linux/TerminalWindow.h"
#include "tests/support/FakePlatform.h"

namespace pellarion {
namespace {

using ::testing::ElementsAre;
using testing::FakePlatform;

TEST(Form1Test, FieldsStartWithTheirDefaultTexts) {
  FakePlatform fake;
  Form1 form(fake, DefaultUrls::ForHost("updates.test"));
  EXPECT_EQ(form.GetFieldText(Field::CU), "0");
  EXPECT_EQ(form.GetFieldText(Field::NU), "0");
  EXPECT_EQ(form.GetFieldText(Field::UL), "http://updates.test/update/update.txt");
  EXPECT_EQ(form.GetFieldText(Field::Upd), "http://updates.test/update/update.bin");
  EXPECT_EQ(form.GetFieldText(Field::txtFrom), "http://updates.test/update/Pellarion.bin");
  EXPECT_EQ(form.GetFieldText(Field::txtTo), "");
  EXPECT_EQ(form.Status().text, "الرجاء الانتظار قليلا .. جاري التحديث");
  EXPECT_EQ(form.Status().colour, 0xFF8080u);
  EXPECT_EQ(form.ManifestValue, "");

  form.SetFieldText(Field::NU, "20055");
  EXPECT_EQ(form.GetFieldText(Field::NU), "20055");
  EXPECT_EQ(form.GetFieldText(Field::CU), "0");
}

TEST(Form1Test, TheServerOverrideReplacesTheHostOfAllThreeUrls) {
  const DefaultUrls staging = DefaultUrls::FromEnvironment("127.0.0.1:8080");
  EXPECT_EQ(staging.manifest, "http://127.0.0.1:8080/update/update.txt");
  EXPECT_EQ(staging.updater, "http://127.0.0.1:8080/update/update.bin");
  EXPECT_EQ(staging.application, "http://127.0.0.1:8080/update/Pellarion.bin");

  for (const char* unset : {static_cast<const char*>(nullptr), ""}) {
    const DefaultUrls built = DefaultUrls::FromEnvironment(unset);
    EXPECT_EQ(built.manifest, "http://" PELLARION_UPDATE_HOST "/update/update.txt");
  }
}

TEST(Form1Test, NothingReachesTheScreenBeforeTheWindowIsShown) {
  FakePlatform fake;
  Form1 form(fake, DefaultUrls::ForHost("updates.test"));
  form.SetStatusColour(kBlue);
  EXPECT_TRUE(fake.log.empty());

  form.ShowStatusWindow();
  form.SetStatusText("أ");
  form.SetStatusColour(kGreen);
  form.SetStatusColour(kRed);
  EXPECT_THAT(fake.log, ElementsAre("show #0000FF الرجاء الانتظار قليلا .. جاري التحديث",
                                    "status #0000FF أ", "status #00FF00 أ", "status #FF0000 أ"));
}

}  // namespace
}  // namespace pellarion

namespace pellarion {
namespace {

// What the terminal window prints: coloured text on a terminal, one plain
// line per change elsewhere.
std::string Printed(bool terminal, const std::function<void(TerminalWindow&)>& draw) {
  std::FILE* out = std::tmpfile();
  TerminalWindow window(out, terminal, stdin, /*inIsTerminal=*/false);
  draw(window);
  std::rewind(out);
  std::string text;
  for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) text.push_back(static_cast<char>(c));
  std::fclose(out);
  return text;
}

TEST(TerminalWindowTest, PrintsEachChangeInItsColour) {
  const auto draw = [](TerminalWindow& w) {
    w.Show({"أ", kBlue});
    w.Update({"ب", kGreen});
    w.Message("تمت", "Osmerin Pellarion Updater");
  };
  EXPECT_EQ(Printed(false, draw),
            "status #0000FF أ\nstatus #00FF00 ب\nmessage Osmerin Pellarion Updater: تمت\n");
  EXPECT_EQ(Printed(true, draw),
            "\x1b[1;38;2;0;0;255mأ\x1b[0m\n\x1b[1;38;2;0;255;0mب\x1b[0m\n"
            "message Osmerin Pellarion Updater: تمت\n");
}

}  // namespace
}  // namespace pellarion
