// The window model, when changes reach the screen, and the update server's URLs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/Form1.h"
#include "app/Offer.h"
#include "tests/support/FakePlatform.h"

namespace pellarion {
namespace {

using ::testing::ElementsAre;
using testing::FakePlatform;

TEST(Form1Test, TheServerOverrideReplacesTheHostOfAllThreeUrls) {
  const UpdateServer staging = UpdateServer::FromEnvironment("127.0.0.1:8080");
  EXPECT_EQ(staging.UL, PELLARION_UPDATE_SCHEME "://127.0.0.1:8080/update/update.txt");
  EXPECT_EQ(staging.Upd, PELLARION_UPDATE_SCHEME "://127.0.0.1:8080/update/update.bin");
  EXPECT_EQ(staging.txtFrom, PELLARION_UPDATE_SCHEME "://127.0.0.1:8080/update/Pellarion.bin");

  // A server named with its scheme keeps it.
  const UpdateServer secure = UpdateServer::FromEnvironment("https://127.0.0.1:8443");
  EXPECT_EQ(secure.Upd, "https://127.0.0.1:8443/update/update.bin");

  for (const char* unset : {static_cast<const char*>(nullptr), ""}) {
    const UpdateServer built = UpdateServer::FromEnvironment(unset);
    EXPECT_EQ(built.UL, PELLARION_UPDATE_SCHEME "://" PELLARION_UPDATE_HOST "/update/update.txt");
  }
}

TEST(Form1Test, NothingReachesTheScreenBeforeTheWindowIsShown) {
  FakePlatform fake;
  Form1 form(fake);
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
