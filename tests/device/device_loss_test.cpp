// Losing the sound device: buffers become lost, and come back with Restore
// once the device is there again.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/audio/device/software_device.h"
#include "platform/audio/outputs/output_selection.h"
#include "platform/audio/outputs/sdl_output.h"
#include "tests/device/device_test_support.h"

namespace velmo::testing {
namespace {

TEST(DeviceLoss, BuffersAreLostUntilTheDeviceReturnsAndRestoreBringsThemBack) {
  ManualDevice dev;
  const auto samples = Ramp(2 * 500);
  IDirectSoundBuffer* buffer = dev.Create(PcmFormat(2, 48000, 16), 2000);
  Write(buffer, 0, samples.data(), 2000);
  ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  dev.output().Render(100);

  dev.output().SimulateRemoval();
  DWORD status = 0;
  ASSERT_EQ(buffer->GetStatus(&status), DS_OK);
  EXPECT_EQ(status, DSBSTATUS_BUFFERLOST);
  void *p1 = nullptr, *p2 = nullptr;
  DWORD n1 = 0, n2 = 0;
  EXPECT_EQ(buffer->Lock(0, 4, &p1, &n1, &p2, &n2, 0), DSERR_BUFFERLOST);
  EXPECT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DSERR_BUFFERLOST);
  // While no device is there, Restore cannot succeed.
  EXPECT_EQ(buffer->Restore(), DSERR_BUFFERLOST);
  for (auto s : dev.output().Render(100)) ASSERT_EQ(s, 0);

  dev.output().SimulateReopen();
  ASSERT_EQ(buffer->GetStatus(&status), DS_OK);
  EXPECT_EQ(status, DSBSTATUS_BUFFERLOST);  // still lost until restored
  ASSERT_EQ(buffer->Restore(), DS_OK);
  ASSERT_EQ(buffer->GetStatus(&status), DS_OK);
  EXPECT_EQ(status, 0u);
  DWORD play = 99, write = 99;
  ASSERT_EQ(buffer->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_EQ(play, 0u);
  // The memory came back silent: its contents must be written again.
  for (auto s : dev.output().Render(10)) ASSERT_EQ(s, 0);
  Write(buffer, 0, samples.data(), 2000);
  ASSERT_EQ(buffer->Play(0, 0, 0), DS_OK);
  const auto out = dev.output().Render(500);
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], samples[i]);
  // Restoring a buffer that is not lost does nothing.
  EXPECT_EQ(buffer->Restore(), DS_OK);

  // A buffer created after the device came back was never lost.
  IDirectSoundBuffer* later = dev.Create(PcmFormat(1, 8000, 8), 100);
  ASSERT_EQ(later->GetStatus(&status), DS_OK);
  EXPECT_EQ(status, 0u);
  later->Release();
  buffer->Release();
}

// What the calls that do not touch the memory answer on a lost buffer: the
// cursors stay readable (the write cursor at the play cursor, since nothing
// is read), a seek is kept until Restore rewinds, Stop succeeds, and a lock
// taken before the loss can still be closed.  Lock and Play say the buffer
// is lost.
TEST(DeviceLoss, ALostBufferStillAnswersTheCallsThatLeaveItsMemoryAlone) {
  ManualDevice dev;
  const auto samples = Ramp(2 * 500);
  IDirectSoundBuffer* buffer = dev.Create(PcmFormat(2, 48000, 16), 2000);
  Write(buffer, 0, samples.data(), 2000);
  ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  dev.output().Render(100);
  void *p1 = nullptr, *p2 = nullptr;
  DWORD n1 = 0, n2 = 0;
  ASSERT_EQ(buffer->Lock(0, 16, &p1, &n1, &p2, &n2, 0), DS_OK);

  dev.output().SimulateRemoval();
  DWORD play = 99, write = 99;
  ASSERT_EQ(buffer->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_EQ(play, 400u);
  EXPECT_EQ(write, 400u);
  EXPECT_EQ(buffer->Unlock(p1, n1, p2, n2), DS_OK);
  EXPECT_EQ(buffer->Unlock(p1, n1, p2, n2), DSERR_INVALIDPARAM) << "the lock is closed";
  EXPECT_EQ(buffer->SetCurrentPosition(800), DS_OK);
  ASSERT_EQ(buffer->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_EQ(play, 800u);
  EXPECT_EQ(write, 800u);
  EXPECT_EQ(buffer->SetCurrentPosition(2000), DSERR_INVALIDPARAM);
  EXPECT_EQ(buffer->Stop(), DS_OK);
  for (auto s : dev.output().Render(100)) ASSERT_EQ(s, 0);

  dev.output().SimulateReopen();
  ASSERT_EQ(buffer->Restore(), DS_OK);
  ASSERT_EQ(buffer->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_EQ(play, 0u) << "Restore rewinds";
  buffer->Release();
}

// SDL's dummy driver stands in for a sound card: it pulls the mix in real
// time from SDL's audio thread.
class SdlOutputTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("SDL_AUDIODRIVER", "dummy", 1); }

  // Polls `condition` for up to five seconds.
  template <class Condition>
  static bool Eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
  }
};

TEST_F(SdlOutputTest, PlaysThroughSdlAndReopensAfterRemoval) {
  auto owned = std::make_unique<SdlOutput>(kSdlDefaultRate);
  SdlOutput* output = owned.get();
  IDirectSound* device = CreateAudioDeviceWithOutput(std::move(owned));
  ASSERT_EQ(device->Initialize(nullptr), DS_OK);
  ASSERT_TRUE(output->DeviceOpen());

  WAVEFORMATEX format = PcmFormat(2, 44100, 16);
  DSBUFFERDESC desc = Description(&format, 44100 * 4);
  IDirectSoundBuffer* buffer = nullptr;
  ASSERT_EQ(device->CreateSoundBuffer(&desc, &buffer, nullptr), DS_OK);
  ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  // SDL's thread drives the mixer: the play cursor moves.
  EXPECT_TRUE(Eventually([&] {
    DWORD play = 0, write = 0;
    return buffer->GetCurrentPosition(&play, &write) == DS_OK && play > 0;
  }));

  output->SimulateRemoval();
  EXPECT_TRUE(Eventually([&] {
    DWORD status = 0;
    return buffer->GetStatus(&status) == DS_OK && status == DSBSTATUS_BUFFERLOST;
  }));
  void *p1 = nullptr, *p2 = nullptr;
  DWORD n1 = 0, n2 = 0;
  EXPECT_EQ(buffer->Lock(0, 4, &p1, &n1, &p2, &n2, 0), DSERR_BUFFERLOST);
  // The watcher opens the default output again, and Restore then works.
  EXPECT_TRUE(Eventually([&] { return buffer->Restore() == DS_OK; }));
  EXPECT_TRUE(output->DeviceOpen());
  ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  EXPECT_TRUE(Eventually([&] {
    DWORD play = 0, write = 0;
    return buffer->GetCurrentPosition(&play, &write) == DS_OK && play > 0;
  }));
  buffer->Release();
  EXPECT_EQ(device->Release(), 0u);
}

TEST_F(SdlOutputTest, AChosenLatencySetsTheServerQueueAndAPeriodThatFitsItSeveralTimes) {
  // The queue must hold at least two periods at every latency allowed, or a
  // single late mix empties it.
  for (std::uint32_t ms = kMinLatencyMs; ms <= kMaxLatencyMs; ++ms) {
    const std::uint32_t period = SdlPeriodFor(48000, ms);
    EXPECT_EQ(period & (period - 1), 0u) << ms;  // a power of two
    EXPECT_LE(2 * period * 1000, 48000u * ms) << ms;
  }
  EXPECT_EQ(SdlOutput::kPeriod, 512u);

  // A latency asked for overrides PULSE_LATENCY_MSEC; the default keeps the
  // user's.
  ::setenv("PULSE_LATENCY_MSEC", "77", 1);
  {
    auto owned = std::make_unique<SdlOutput>(kSdlDefaultRate);
    EXPECT_EQ(owned->PeriodFrames(), SdlOutput::kPeriod);
    IDirectSound* device = CreateAudioDeviceWithOutput(std::move(owned));
    ASSERT_EQ(device->Initialize(nullptr), DS_OK);
    EXPECT_STREQ(std::getenv("PULSE_LATENCY_MSEC"), "77");
    EXPECT_EQ(device->Release(), 0u);
  }
  auto owned = std::make_unique<SdlOutput>(kSdlDefaultRate, 10);
  EXPECT_EQ(owned->PeriodFrames(), 128u);
  IDirectSound* device = CreateAudioDeviceWithOutput(std::move(owned));
  ASSERT_EQ(device->Initialize(nullptr), DS_OK);
  EXPECT_STREQ(std::getenv("PULSE_LATENCY_MSEC"), "10");
  EXPECT_EQ(device->Release(), 0u);
  ::unsetenv("PULSE_LATENCY_MSEC");
}

TEST_F(SdlOutputTest, InitializeFailsWhenNoDeviceOpens) {
  // The disk driver writes to a file; pointing it at a directory that does
  // not exist makes the open fail, like a machine without a sound card.
  ::setenv("SDL_AUDIODRIVER", "disk", 1);
  ::setenv("SDL_DISKAUDIOFILE", "/nonexistent-directory/sdlaudio.raw", 1);
  IDirectSound* device = CreateAudioDeviceWithOutput(std::make_unique<SdlOutput>(kSdlDefaultRate));
  EXPECT_LT(device->Initialize(nullptr), 0);
  EXPECT_EQ(device->Release(), 0u);
  ::unsetenv("SDL_DISKAUDIOFILE");
}

}  // namespace
}  // namespace velmo::testing
