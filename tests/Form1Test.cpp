// The window model, and when changes reach the screen.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/Form1.h"
#include "tests/support/FakePlatform.h"

namespace pellarion {
namespace {

using ::testing::ElementsAre;
using testing::FakePlatform;

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
