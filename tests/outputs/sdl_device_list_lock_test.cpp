// The lock that keeps the library's walks of SDL's device list apart from a
// host program's own SDL calls (SdlDeviceListLock), on SDL's dummy driver.
#include <SDL.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>

#include "platform/audio/outputs/output_selection.h"
#include "platform/audio/outputs/sdl_output.h"

namespace velmo {
namespace {

// A host that holds the lock around its own SDL list calls: the device
// listing waits for it instead of walking (and starting and stopping SDL's
// audio) meanwhile.  How long it waited cannot be told from a clock of the
// test's own; a tenth of a second without an answer is taken for waiting.
TEST(SdlDeviceListLockTest, TheDeviceListingWaitsForAHostHoldingTheLock) {
  std::unique_lock<std::mutex> host(SdlDeviceListLock());
  auto listing = std::async(std::launch::async, [] {
    std::vector<AudioDevice> devices = ListSdlDevices();
    // SDL keeps per-thread data (its last error's text) and frees it only
    // for threads of its own; this one is the test's.
    SDL_TLSCleanup();
    return devices;
  });
  EXPECT_EQ(listing.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  host.unlock();
  listing.get();
  // And the lock is free again once the listing is done.
  EXPECT_TRUE(SdlDeviceListLock().try_lock());
  SdlDeviceListLock().unlock();
}

}  // namespace
}  // namespace velmo
