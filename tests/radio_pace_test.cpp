// A radio meter's pace in the collector, on a timeline of its own: one reading published per
// interval however often the meter sends, and unavailable only after three intervals without a
// telegram read to its values.
#include <gtest/gtest.h>

#include "radio_pace.hpp"

namespace velmar::tools {
namespace {

using std::chrono::seconds;

TEST(RadioPace, OneReadingPerIntervalAndUnavailableOnlyAfterThreeSilentOnes) {
  const RadioPace::Clock::time_point t0{};
  RadioPace pace(60, t0);  // a meter that sends every few seconds, published once a minute
  EXPECT_TRUE(pace.Heard(t0 + seconds(1), true));
  EXPECT_FALSE(pace.Heard(t0 + seconds(8), true));
  EXPECT_FALSE(pace.Heard(t0 + seconds(60), true));  // 59 s after the last published one
  EXPECT_TRUE(pace.Heard(t0 + seconds(61), true));
  EXPECT_EQ(pace.SilenceLimit(), seconds(180));

  // Two intervals and more without a telegram: a lost one or two, not a meter gone.
  const auto last = t0 + seconds(61);
  EXPECT_FALSE(pace.FallsSilent(last + seconds(60)));
  EXPECT_FALSE(pace.FallsSilent(last + seconds(179)));
  EXPECT_TRUE(pace.Available());
  EXPECT_TRUE(pace.FallsSilent(last + seconds(180)));
  EXPECT_FALSE(pace.Available());
  EXPECT_FALSE(pace.FallsSilent(last + seconds(400)));  // said once

  // A telegram that cannot be read is published (with its failure) but brings nothing back.
  EXPECT_TRUE(pace.Heard(last + seconds(401), false));
  EXPECT_FALSE(pace.Available());
  EXPECT_TRUE(pace.Heard(last + seconds(461), true));
  EXPECT_TRUE(pace.Available());
  EXPECT_TRUE(pace.Lost());
  EXPECT_FALSE(pace.Lost());
}

TEST(RadioPace, SilenceCountsFromTheStartForAMeterNeverHeard) {
  const RadioPace::Clock::time_point t0{};
  RadioPace pace(10, t0);
  EXPECT_FALSE(pace.FallsSilent(t0 + seconds(29)));
  EXPECT_TRUE(pace.FallsSilent(t0 + seconds(30)));
}

}  // namespace
}  // namespace velmar::tools
