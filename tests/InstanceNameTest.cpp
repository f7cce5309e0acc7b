// The instance name both systems' single-instance locks are keyed on.
#include <gtest/gtest.h>

#include "platform/InstanceName.h"

namespace pellarion {
namespace {

TEST(InstanceNameTest, IsThePrefixAndAStableHashOfThePath) {
  const struct {
    const char* path;
    const char* name;
  } cases[] = {
      // Names the released updaters use: a change of hash would let an older
      // and a newer updater at the same path run side by side.
      {"", "lock-14650fb0739d0383"},
      {"a", "lock-44bd8ad473cd9906"},
      {"/opt/Pellarion/update.exe", "lock-ff6a87a0a42558c6"},
  };
  for (const auto& c : cases) EXPECT_EQ(InstanceName("lock-", c.path), c.name) << c.path;
  EXPECT_NE(InstanceName("", "C:\\A\\UPDATE.EXE"), InstanceName("", "C:\\B\\UPDATE.EXE"));
}

}  // namespace
}  // namespace pellarion
