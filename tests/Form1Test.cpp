// The window model: the default URLs and when changes reach the screen.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/Form1.h"
#include "tests/support/FakePlatform.h"

namespace pellarion {
namespace {

using ::testing::ElementsAre;
using testing::FakePlatform;

TEST(Form1Test, TheServerOverrideReplacesTheHostOfAllThreeUrls) {
  const DefaultUrls staging = DefaultUrls::FromEnvironment("127.0.0.1:8080");
  EXPECT_EQ(staging.manifest, PELLARION_UPDATE_SCHEME "://127.0.0.1:8080/update/update.txt");
  EXPECT_EQ(staging.updater, PELLARION_UPDATE_SCHEME "://127.0.0.1:8080/update/update.bin");
  EXPECT_EQ(staging.application, PELLARION_UPDATE_SCHEME "://127.0.0.1:8080/update/Pellarion.bin");

  // A server named with its scheme keeps it.
  const DefaultUrls secure = DefaultUrls::FromEnvironment("https://127.0.0.1:8443");
  EXPECT_EQ(secure.updater, "https://127.0.0.1:8443/update/update.bin");

  for (const char* unset : {static_cast<const char*>(nullptr), ""}) {
    const DefaultUrls built = DefaultUrls::FromEnvironment(unset);
    EXPECT_EQ(built.manifest, PELLARION_UPDATE_SCHEME "://" PELLARION_UPDATE_HOST "/update/update.txt");
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
