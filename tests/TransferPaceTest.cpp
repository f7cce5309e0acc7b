// The pace rule of a transfer: a window that slides over made-up times.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "download/TransferPace.h"

namespace pellarion {
namespace {

// The sliding window over made-up times: (milliseconds, bytes so far)
// pairs, the last of which is judged, and when a stall from there would be
// judged too slow. Window 2 s, at least 100 bytes a second.
TEST(TransferPaceTest, TooSlowOnlyAfterAWholeWindowBelowTheRate) {
  struct Case {
    std::string name;
    std::vector<std::pair<int, int>> samples;
    bool tooSlow;
    std::int64_t failsAt;  // with no more bytes
  } cases[] = {
      {"younger than the window", {{500, 0}, {1900, 0}}, false, 2000},
      {"nothing for a whole window", {{1000, 0}, {2000, 0}}, true, 2000},
      {"just enough", {{1000, 100}, {2000, 200}}, false, 2001},
      {"just too little", {{1000, 100}, {2000, 199}}, true, 2000},
      {"fast start, then a stall for a window", {{250, 100000}, {1000, 100000}, {2250, 100000}}, true, 2250},
      {"slow start, then fast", {{1000, 0}, {1500, 0}, {3000, 400}}, false, 5000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TransferPace pace(0, 2000, 100);
    bool last = false;
    for (const auto& [ms, bytes] : c.samples) last = pace.TooSlow(ms, bytes);
    EXPECT_EQ(last, c.tooSlow);
    const auto& [ms, bytes] = c.samples.back();
    EXPECT_EQ(pace.FailsAtMs(ms, bytes), c.failsAt);
    // And the rule agrees with its own forecast.
    if (!c.tooSlow) {
      TransferPace again = pace;
      EXPECT_FALSE(again.TooSlow(c.failsAt - 1, bytes));
      EXPECT_TRUE(pace.TooSlow(c.failsAt, bytes));
    }
  }
}

}  // namespace
}  // namespace pellarion
