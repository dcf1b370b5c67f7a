// When a lost output's server is taken as playing live again, on looks the
// test makes by hand: a burst of owed cycles, however it is spread over the
// looks, is never mixed as live time.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "platform/audio/outputs/catch_up_watch.h"

namespace velmo {
namespace {

constexpr std::uint64_t kMs = 1'000'000;
constexpr std::uint64_t kLook = 20 * kMs;                 // the loop's timer
constexpr std::uint64_t kCycle = FramesToNs(256, 48000);  // 5.3 ms cycles

// A stopped PipeWire server runs the second it owes: first in a burst that
// starts just before a look (the look sees two cycles, at what seems real
// time), then spread thin over the looks at 1.2 times real time (a graph
// slowed by a busy machine).  Each cycle is stamped with the time it was
// due, so the stamps lag by what is still owed; the output stays silent
// until they are fresh, and then waits one more look.
TEST(CatchUpWatchTest, ACatchUpIsNotLiveUntilTheCyclesStampsAreFresh) {
  CatchUpWatch watch;
  std::uint64_t behind = 1000 * kMs;
  EXPECT_FALSE(watch.Live(2 * kCycle, kLook, kCycle, behind));
  behind -= 2 * kCycle;
  int looks = 0;
  while (behind > 2 * kCycle + kLook) {
    const std::uint64_t asked = kLook + kLook / 5;
    EXPECT_FALSE(watch.Live(asked, kLook, kCycle, behind)) << "live with " << behind / kMs << " ms still owed";
    behind -= asked - kLook;
    ++looks;
  }
  EXPECT_GT(looks, 10);
  EXPECT_FALSE(watch.Live(kLook, kLook, kCycle, 3 * kMs));
  EXPECT_TRUE(watch.Live(kLook, kLook, kCycle, 3 * kMs));

  // A burst between live looks starts the count again; so does a loss.
  EXPECT_FALSE(watch.Live(300 * kMs, kLook, kCycle, 3 * kMs));
  EXPECT_FALSE(watch.Live(kLook, kLook, kCycle, 3 * kMs));
  EXPECT_TRUE(watch.Live(kLook, kLook, kCycle, 3 * kMs));
  watch.Reset();
  EXPECT_FALSE(watch.Live(kLook, kLook, kCycle, 3 * kMs));
}

// Without stamps (PulseAudio) the pace alone decides, over two looks; stamps
// that lag at a steady real-time pace (a server on another clock) are taken
// as live after two seconds, not never.
TEST(CatchUpWatchTest, PaceDecidesWithoutStampsAndStaleStampsGiveWayInTime) {
  CatchUpWatch unstamped;
  EXPECT_FALSE(unstamped.Live(500 * kMs, kLook, kCycle, std::nullopt));
  EXPECT_FALSE(unstamped.Live(kLook, kLook, kCycle, std::nullopt));
  EXPECT_TRUE(unstamped.Live(kLook, kLook, kCycle, std::nullopt));

  CatchUpWatch otherClock;
  int looks = 0;
  while (!otherClock.Live(kLook, kLook, kCycle, 700 * kMs)) ++looks;
  // Two seconds of stale looks, the last of them the first taken as live.
  EXPECT_EQ(looks, static_cast<int>(CatchUpWatch::kStaleStampLimitNs / kLook));
}

}  // namespace
}  // namespace velmo
