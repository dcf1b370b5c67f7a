// What an output's watcher makes of a callback it follows by a count, on a
// clock the test moves by hand: when a stall is seen, and how much time is
// made up for a lost output.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/audio/outputs/callback_watch.h"

namespace velmo {
namespace {

using Clock = CallbackWatch::Clock;
using std::chrono::milliseconds;

constexpr auto kLimit = milliseconds(540);  // a stall limit of 500 ms, and two looks

// A watcher due every 20 ms that runs 60 ms apart (a busy machine): the
// callback's last run was seen at 100 ms; the stall and the time it made up
// follow the clock, not the number of looks.
TEST(CallbackWatchTest, MeasuresAStallByTheClockWhenLooksRunLate) {
  const Clock::time_point start{};
  CallbackWatch watch;
  watch.Reset(0, start);
  std::uint64_t count = 0;
  Clock::time_point now = start;
  for (int look = 1; look <= 5; ++look) {
    now = start + milliseconds(20 * look);
    count += 256;
    EXPECT_TRUE(watch.Look(count, now));
  }
  int looksSilent = 0;
  while (watch.SinceProgress(now) < milliseconds(500)) {
    now += milliseconds(60);
    EXPECT_FALSE(watch.Look(count, now));
    ++looksSilent;
  }
  // 9 late looks (540 ms), not the 25 that 500 ms of 20 ms looks would be.
  EXPECT_EQ(looksSilent, 9);
  EXPECT_EQ(watch.Unmixed(count, now, kLimit), milliseconds(540));
  // A stall far longer than the limit makes up no more than it.
  EXPECT_EQ(watch.Unmixed(count, now + std::chrono::seconds(3), kLimit), kLimit);
}

// Leaving a device that plays (a move back to the chosen device): the
// callback ran after the last look, so it mixed up to the moment of the
// switch and nothing is made up; without a run since, the time from the
// last look is.
TEST(CallbackWatchTest, MakesUpNothingWhenTheCallbackRanSinceTheLastLook) {
  const Clock::time_point start{};
  CallbackWatch watch;
  watch.Reset(10, start);
  EXPECT_TRUE(watch.Look(11, start + milliseconds(20)));
  const auto switchAt = start + milliseconds(38);
  EXPECT_EQ(watch.Unmixed(12, switchAt, kLimit), Clock::duration::zero());
  EXPECT_EQ(watch.Unmixed(11, switchAt, kLimit), milliseconds(18));
}

}  // namespace
}  // namespace velmo
