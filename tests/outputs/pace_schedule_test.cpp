// When a paced output (the null output that keeps a device's time while its
// sound device is away, the capture output) mixes each period, on a clock
// the test moves by hand.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/audio/outputs/paced_output.h"

namespace velmo {
namespace {

using Clock = PaceSchedule::Clock;
using std::chrono::milliseconds;

// The periods a thread mixes when it wakes at `wake` and then mixes back to
// back (each mix taking no time) until the next is due after `wake`.
int PeriodsMixedAt(PaceSchedule& schedule, Clock::time_point wake) {
  int mixed = 0;
  do ++mixed;
  while (schedule.Next(wake) <= wake);
  return mixed;
}

// 256 frames at 48000 Hz: one period is 5.3 ms.
const auto kPeriod = std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(5333));

TEST(PaceScheduleTest, MixesThePeriodsOfALateWakeUpAtOnce) {
  const Clock::time_point start{};
  PaceSchedule schedule(kPeriod, start);
  // On time: one period a wake-up.
  EXPECT_EQ(schedule.Next(start), start + kPeriod);
  // Woken 400 ms late (75 periods, far past any 20-period allowance): every
  // period owed is mixed before the thread sleeps again, so the device's
  // time is where real time is.
  const auto wake = start + kPeriod + milliseconds(400);
  const int mixed = PeriodsMixedAt(schedule, wake);
  EXPECT_EQ(mixed, 1 + 400'000 / 5333);
  // Back on the old grid: the next period falls due within one period.
  const auto next = schedule.Next(wake);
  EXPECT_GT(next, wake - kPeriod);
  EXPECT_LE(next, wake + 2 * kPeriod);
  EXPECT_EQ((next - start) % kPeriod, Clock::duration::zero());
}

TEST(PaceScheduleTest, SkipsAGapLongerThanTheCatchUpLimit) {
  const Clock::time_point start{};
  PaceSchedule schedule(kPeriod, start);
  // A machine suspended for a minute: the schedule starts again from the
  // wake-up instead of racing through a minute of periods.
  const auto wake = start + std::chrono::minutes(1);
  EXPECT_EQ(schedule.Next(wake), wake);
  EXPECT_EQ(schedule.Next(wake), wake + kPeriod);
  // Just within the limit, everything is made up.
  PaceSchedule late(kPeriod, start);
  const auto within = start + PaceSchedule::kCatchUpLimit - milliseconds(10);
  EXPECT_GT(PeriodsMixedAt(late, within), 370);
}

}  // namespace
}  // namespace velmo
