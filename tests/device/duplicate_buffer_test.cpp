// Duplicates: buffers that play one sound's memory, each on its own.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/device/device_test_support.h"

namespace velmo::testing {
namespace {

constexpr std::uint32_t kRate = 48000;
constexpr DWORD kFrames = 3000;
constexpr DWORD kBytes = kFrames * 4;  // 16-bit stereo

IDirectSoundBuffer* Duplicate(IDirectSound* device, IDirectSoundBuffer* original) {
  IDirectSoundBuffer* duplicate = nullptr;
  EXPECT_EQ(device->DuplicateSoundBuffer(original, &duplicate), DS_OK);
  return duplicate;
}

DWORD PlayCursor(IDirectSoundBuffer* buffer) {
  DWORD play = 0;
  EXPECT_EQ(buffer->GetCurrentPosition(&play, nullptr), DS_OK);
  return play;
}

// The original is silenced and plays on; what is heard is the duplicate,
// from its own place, at its own volume and pan, and it keeps its own time
// at its own frequency.
TEST(DuplicateBuffer, PlaysTheOriginalsSamplesAtItsOwnPositionVolumePanAndFrequency) {
  ManualDevice dev(kRate);
  const auto samples = Ramp(2 * kFrames, 5, 13);
  IDirectSoundBuffer* original = dev.Create(PcmFormat(2, kRate, 16), kBytes);
  Write(original, 0, samples.data(), kBytes);
  ASSERT_EQ(original->SetVolume(DSBVOLUME_MIN), DS_OK);
  ASSERT_EQ(original->Play(0, 0, DSBPLAY_LOOPING), DS_OK);

  IDirectSoundBuffer* duplicate = Duplicate(dev.device(), original);
  ASSERT_NE(duplicate, nullptr);
  DSBCAPS caps{}, originalCaps{};
  caps.dwSize = originalCaps.dwSize = sizeof(DSBCAPS);
  ASSERT_EQ(duplicate->GetCaps(&caps), DS_OK);
  ASSERT_EQ(original->GetCaps(&originalCaps), DS_OK);
  EXPECT_EQ(caps.dwBufferBytes, kBytes);
  EXPECT_EQ(caps.dwFlags, originalCaps.dwFlags);
  DWORD status = 99;
  ASSERT_EQ(duplicate->GetStatus(&status), DS_OK);
  EXPECT_EQ(status, 0u) << "a duplicate starts stopped";
  LONG volume = 0;
  ASSERT_EQ(duplicate->GetVolume(&volume), DS_OK);
  EXPECT_EQ(volume, DSBVOLUME_MIN) << "its controls start as the original's";

  constexpr DWORD kFrom = 1000;
  ASSERT_EQ(duplicate->SetVolume(0), DS_OK);
  ASSERT_EQ(duplicate->SetPan(4000), DS_OK);
  ASSERT_EQ(duplicate->SetCurrentPosition(kFrom * 4), DS_OK);
  ASSERT_EQ(duplicate->Play(0, 0, 0), DS_OK);
  constexpr std::size_t kHeard = 1500;
  const auto out = dev.output().Render(kHeard);
  for (std::size_t i = 0; i < kHeard; ++i) {
    const std::int16_t left = samples[2 * (kFrom + i)], right = samples[2 * (kFrom + i) + 1];
    ASSERT_NEAR(out[2 * i], std::lrint(left * 0.01), 1) << "left, frame " << i;  // 40 dB down
    ASSERT_EQ(out[2 * i + 1], right) << "right, frame " << i;
  }
  EXPECT_EQ(PlayCursor(duplicate), (kFrom + kHeard) * 4);
  EXPECT_EQ(PlayCursor(original), kHeard * 4);

  // At half the rate the duplicate reads half as far; the original does not.
  ASSERT_EQ(duplicate->SetFrequency(kRate / 2), DS_OK);
  dev.output().Render(400);
  EXPECT_EQ(PlayCursor(duplicate), (kFrom + kHeard + 200) * 4);
  EXPECT_EQ(PlayCursor(original), (kHeard + 400) * 4);
  DWORD frequency = 0;
  ASSERT_EQ(original->GetFrequency(&frequency), DS_OK);
  EXPECT_EQ(frequency, kRate);
  duplicate->Release();
  original->Release();
}

// Both ways round, and through a duplicate of a duplicate: one memory.
TEST(DuplicateBuffer, WritingThroughOneIsHeardThroughTheOthers) {
  ManualDevice dev(kRate);
  const auto first = Ramp(2 * kFrames, 3, 29);
  const auto second = Ramp(2 * kFrames, -9000, 17);
  IDirectSoundBuffer* original = dev.Create(PcmFormat(2, kRate, 16), kBytes);
  IDirectSoundBuffer* duplicate = Duplicate(dev.device(), original);
  IDirectSoundBuffer* third = Duplicate(dev.device(), duplicate);
  ASSERT_NE(third, nullptr);

  Write(duplicate, 0, first.data(), kBytes);
  ASSERT_EQ(original->Play(0, 0, 0), DS_OK);
  auto out = dev.output().Render(kFrames);
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], first[i]) << "original, sample " << i;

  Write(original, 0, second.data(), kBytes);
  ASSERT_EQ(third->Play(0, 0, 0), DS_OK);
  out = dev.output().Render(kFrames);
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], second[i]) << "third, sample " << i;
  third->Release();
  duplicate->Release();
  original->Release();
}

// The memory lives until the last buffer sharing it is gone (asan catches a
// read of freed memory or a leak here).
TEST(DuplicateBuffer, ReleasingTheOriginalFirstLeavesTheDuplicatePlaying) {
  ManualDevice dev(kRate);
  const auto samples = Ramp(2 * kFrames, 11, 23);
  IDirectSoundBuffer* original = dev.Create(PcmFormat(2, kRate, 16), kBytes);
  Write(original, 0, samples.data(), kBytes);
  IDirectSoundBuffer* duplicate = Duplicate(dev.device(), original);
  ASSERT_EQ(duplicate->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  dev.output().Render(100);
  EXPECT_EQ(original->Release(), 0u);
  // Another buffer of the same size now, which must not be handed the
  // memory still in use.
  IDirectSoundBuffer* other = dev.Create(PcmFormat(2, kRate, 16), kBytes);
  const auto out = dev.output().Render(kFrames + 500);
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], samples[(200 + i) % (2 * kFrames)]) << "sample " << i;
  DWORD status = 0;
  ASSERT_EQ(duplicate->GetStatus(&status), DS_OK);
  EXPECT_EQ(status, DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);
  other->Release();
  EXPECT_EQ(duplicate->Release(), 0u);
}

TEST(DuplicateBuffer, EachBadArgumentGetsTheDevicesCode) {
  ManualDevice dev(kRate);
  IDirectSoundBuffer* original = dev.Create(PcmFormat(1, 22050, 8), 2205);
  IDirectSoundBuffer* duplicate = reinterpret_cast<IDirectSoundBuffer*>(0x1);
  EXPECT_EQ(dev.device()->DuplicateSoundBuffer(original, nullptr), DSERR_INVALIDPARAM);
  EXPECT_EQ(dev.device()->DuplicateSoundBuffer(nullptr, &duplicate), DSERR_INVALIDPARAM);
  EXPECT_EQ(duplicate, nullptr) << "a failed call leaves no stale pointer";

  // Not one of this device's buffers: another device's, or one released.
  // No primary buffer exists here; CreateSoundBuffer refuses one with the
  // same code.
  ManualDevice other(kRate);
  IDirectSoundBuffer* foreign = other.Create(PcmFormat(1, 22050, 8), 2205);
  EXPECT_EQ(dev.device()->DuplicateSoundBuffer(foreign, &duplicate), DSERR_INVALIDPARAM);
  IDirectSoundBuffer* released = dev.Create(PcmFormat(1, 22050, 8), 2205);
  released->Release();
  EXPECT_EQ(dev.device()->DuplicateSoundBuffer(released, &duplicate), DSERR_INVALIDPARAM);
  WAVEFORMATEX format = PcmFormat(2, kRate, 16);
  DSBUFFERDESC primary = Description(&format, 0, DSBCAPS_PRIMARYBUFFER);
  IDirectSoundBuffer* none = nullptr;
  EXPECT_EQ(dev.device()->CreateSoundBuffer(&primary, &none, nullptr), DSERR_INVALIDPARAM);

  // Before Initialize.
  ManualOutput* unusedOutput = nullptr;
  IDirectSound* uninitialized = CreateManualAudioDevice(&unusedOutput, kRate);
  EXPECT_EQ(uninitialized->DuplicateSoundBuffer(original, &duplicate), DSERR_UNINITIALIZED);
  uninitialized->Release();

  // No buffer is lost while the output is away: duplicating still works,
  // and the duplicate shares what is written meanwhile.
  dev.output().SimulateRemoval();
  IDirectSoundBuffer* sharer = Duplicate(dev.device(), original);
  ASSERT_NE(sharer, nullptr);
  const std::vector<std::uint8_t> written(2205, 0xC0);
  Write(original, 0, written.data(), 2205);
  dev.output().SimulateReopen();
  ASSERT_EQ(sharer->Play(0, 0, 0), DS_OK);
  const auto heard = dev.output().Render(100);
  EXPECT_NE(heard[0], 0) << "the duplicate made while the output was away does not share the memory";
  sharer->Release();
  foreign->Release();
  original->Release();
}

}  // namespace
}  // namespace velmo::testing
