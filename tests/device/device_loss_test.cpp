// Losing the sound device: no buffer is lost.  The device keeps time without
// it, so callers see no difference, and the sound carries on when it returns.
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

DWORD Status(IDirectSoundBuffer* buffer) {
  DWORD status = 0xffffffff;
  EXPECT_EQ(buffer->GetStatus(&status), DS_OK);
  return status;
}

DWORD PlayCursor(IDirectSoundBuffer* buffer) {
  DWORD play = 0xffffffff, write = 0;
  EXPECT_EQ(buffer->GetCurrentPosition(&play, &write), DS_OK);
  return play;
}

// The manual output's Render calls are the clock, away or not: while the
// output is away they mix unheard.
TEST(DeviceLoss, WhileTheOutputIsAwayEveryCallAnswersAsBeforeAndTimeGoesOn) {
  ManualDevice dev;
  const auto samples = Ramp(2 * 500);
  IDirectSoundBuffer* music = dev.Create(PcmFormat(2, 48000, 16), 2000);
  IDirectSoundBuffer* effect = dev.Create(PcmFormat(2, 48000, 16), 400);
  Write(music, 0, samples.data(), 2000);
  Write(effect, 0, samples.data(), 400);
  ASSERT_EQ(music->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  dev.output().Render(100);

  dev.output().SimulateRemoval();
  EXPECT_EQ(Status(music), DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);
  EXPECT_EQ(PlayCursor(music), 400u);
  // An effect pressed now plays out unheard, instead of late.
  ASSERT_EQ(effect->Play(0, 0, 0), DS_OK);
  EXPECT_EQ(Status(effect), DSBSTATUS_PLAYING);
  for (auto s : dev.output().Render(150)) ASSERT_EQ(s, 0);
  EXPECT_EQ(Status(effect), 0u) << "the one-shot ended while nothing was heard";
  EXPECT_EQ(PlayCursor(music), 1000u) << "the music's cursor moved on";
  // Writing, seeking, stopping and starting work as with an output.
  Write(effect, 0, samples.data() + 200, 400);
  ASSERT_EQ(effect->SetCurrentPosition(0), DS_OK);
  ASSERT_EQ(effect->Stop(), DS_OK);
  EXPECT_EQ(music->Restore(), DS_OK);

  // The music goes on from where time has taken it, 250 frames in.
  dev.output().SimulateReopen();
  const auto out = dev.output().Render(500);
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], samples[(500 + i) % samples.size()]) << i;
  // And an effect pressed after the return is heard at once, with what was
  // written while the output was away.
  ASSERT_EQ(music->Stop(), DS_OK);
  ASSERT_EQ(effect->Play(0, 0, 0), DS_OK);
  const auto heard = dev.output().Render(100);
  for (std::size_t i = 0; i < heard.size(); ++i) ASSERT_EQ(heard[i], samples[200 + i]) << i;
  effect->Release();
  music->Release();
}

// Without a keeper of its own, the device keeps time with a real-time null
// output: a one-shot started while the output is away ends on its own.
TEST(DeviceLoss, TheDefaultKeeperPlaysOutAOneShotInRealTime) {
  auto owned = std::make_unique<ManualOutput>();
  ManualOutput* output = owned.get();
  IDirectSound* device = CreateAudioDeviceWithOutput(std::move(owned));
  ASSERT_EQ(device->Initialize(nullptr), DS_OK);
  WAVEFORMATEX format = PcmFormat(1, 48000, 16);
  DSBUFFERDESC desc = Description(&format, 960);  // 10 ms
  IDirectSoundBuffer* effect = nullptr;
  ASSERT_EQ(device->CreateSoundBuffer(&desc, &effect, nullptr), DS_OK);
  output->SimulateRemoval();
  ASSERT_EQ(effect->Play(0, 0, 0), DS_OK);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (Status(effect) != 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(Status(effect), 0u);
  // Once the output is back, only its own calls mix: the cursor stands.
  ASSERT_EQ(effect->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  output->SimulateReopen();
  const DWORD play = PlayCursor(effect);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(PlayCursor(effect), play);
  effect->Release();
  EXPECT_EQ(device->Release(), 0u);
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

  // A removal is closed, reported and reopened by the watcher; the buffer
  // plays on through it, never lost.
  output->SimulateRemoval();
  EXPECT_TRUE(Eventually([&] { return output->Reopenings() == 1; }));
  EXPECT_TRUE(output->DeviceOpen());
  EXPECT_EQ(Status(buffer), DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);
  const DWORD before = PlayCursor(buffer);
  EXPECT_TRUE(Eventually([&] { return PlayCursor(buffer) != before; }));
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
  EXPECT_EQ(SdlOutput::kPeriod, 256u);

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
