// When an output on the default device looks for, and tries, the device
// chosen by name, on a clock and a device list the test sets by hand.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/audio/outputs/chosen_device_return.h"

namespace velmo {
namespace {

using Clock = ChosenDeviceReturn::Clock;
using std::chrono::milliseconds;

// SDL names a second device with the same description "NAME (2)": with two
// identical headsets, the other one is no return of the one chosen.
TEST(ChosenDeviceReturnTest, TakesOnlyTheChosenNameForTheChosenDevice) {
  ChosenDeviceReturn plan;
  const Clock::time_point start{};
  plan.Start(start);
  EXPECT_FALSE(plan.LookDue(start + milliseconds(200)));
  const auto look = start + milliseconds(250);
  ASSERT_TRUE(plan.LookDue(look));
  EXPECT_FALSE(plan.Listed({"USB Headset (2)", "USB Headset (3)", "Speakers"}, "USB Headset", look));
  EXPECT_FALSE(plan.LookDue(look + milliseconds(200)));
  EXPECT_TRUE(plan.Listed({"USB Headset (2)", "USB Headset"}, "USB Headset", look + milliseconds(250)));
}

// Listed, and held by another program: a minute of polls every 20 ms tries
// it a dozen times, not every quarter second (240 times), and once it has
// left the list and come back it is tried within a quarter second again.
TEST(ChosenDeviceReturnTest, BacksOffFromADeviceThatWillNotOpen) {
  ChosenDeviceReturn plan;
  const Clock::time_point start{};
  plan.Start(start);
  const std::vector<std::string> listed{"Speakers", "USB Headset"};
  int tries = 0;
  Clock::time_point now = start;
  for (; now < start + std::chrono::minutes(1); now += milliseconds(20)) {
    if (!plan.LookDue(now) || !plan.Listed(listed, "USB Headset", now)) continue;
    ++tries;
    plan.OpenFailed(now);
  }
  EXPECT_GE(tries, 8);
  EXPECT_LE(tries, 12);
  // Gone from the list, then back.
  while (!plan.LookDue(now)) now += milliseconds(20);
  EXPECT_FALSE(plan.Listed({"Speakers"}, "USB Headset", now));
  const auto gone = now;
  while (!plan.LookDue(now)) now += milliseconds(20);
  EXPECT_LE(now - gone, milliseconds(260));
  EXPECT_TRUE(plan.Listed(listed, "USB Headset", now));
}

}  // namespace
}  // namespace velmo
