// Callers churning buffers while the mixer runs on its own thread.  Meant
// for the tsan preset: any race between the buffer calls and the mixer, or a
// deadlock between them, shows up here.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "platform/audio_device.h"
#include "tests/device/device_test_support.h"

namespace velmo::testing {
namespace {

constexpr auto kRunTime = std::chrono::seconds(2);

// One caller's loop: a small pool of buffers, each step doing one random
// thing to one of them.
void Churn(IDirectSound* device, unsigned seed, std::atomic<long>* steps) {
  std::mt19937 random(seed);
  std::vector<IDirectSoundBuffer*> pool(6, nullptr);
  const WAVEFORMATEX formats[] = {PcmFormat(2, 44100, 16), PcmFormat(1, 22050, 8), PcmFormat(2, 48000, 16),
                                  PcmFormat(6, 96000, 24), PcmFormat(1, 11025, 16)};
  std::vector<std::uint8_t> noise(8192);
  for (auto& b : noise) b = static_cast<std::uint8_t>(random());
  const auto end = std::chrono::steady_clock::now() + kRunTime;
  while (std::chrono::steady_clock::now() < end) {
    IDirectSoundBuffer*& buffer = pool[random() % pool.size()];
    if (buffer == nullptr) {
      WAVEFORMATEX format = formats[random() % std::size(formats)];
      DSBUFFERDESC desc = Description(&format, 1000 + random() % 20000);
      ASSERT_EQ(device->CreateSoundBuffer(&desc, &buffer, nullptr), DS_OK);
      continue;
    }
    DSBCAPS caps{sizeof(DSBCAPS), 0, 0, 0, 0};
    ASSERT_EQ(buffer->GetCaps(&caps), DS_OK);
    DWORD play = 0, write = 0, status = 0;
    switch (random() % 9) {
      case 0:
        EXPECT_EQ(buffer->Release(), 0u);
        buffer = nullptr;
        break;
      case 1:
      case 2: {
        const DWORD offset = random() % caps.dwBufferBytes;
        const DWORD bytes = 1 + random() % std::min<DWORD>(caps.dwBufferBytes, noise.size());
        void *p1 = nullptr, *p2 = nullptr;
        DWORD n1 = 0, n2 = 0;
        const HRESULT hr = buffer->Lock(offset, bytes, &p1, &n1, &p2, &n2, 0);
        if (hr == DSERR_BUFFERLOST) {
          buffer->Restore();
          break;
        }
        ASSERT_EQ(hr, DS_OK);
        std::memcpy(p1, noise.data(), n1);
        if (p2 != nullptr) std::memcpy(p2, noise.data() + n1, n2);
        ASSERT_EQ(buffer->Unlock(p1, n1, p2, n2), DS_OK);
        break;
      }
      case 3:
        buffer->Play(0, 0, random() % 2 ? DSBPLAY_LOOPING : 0);
        break;
      case 4:
        ASSERT_EQ(buffer->Stop(), DS_OK);
        break;
      case 5:
        ASSERT_EQ(buffer->SetCurrentPosition(random() % caps.dwBufferBytes), DS_OK);
        break;
      case 6:
        ASSERT_EQ(buffer->SetFrequency(random() % 2 ? 0 : 100 + random() % 199901), DS_OK);
        break;
      case 7:
        ASSERT_EQ(buffer->SetVolume(-static_cast<LONG>(random() % 10001)), DS_OK);
        ASSERT_EQ(buffer->SetPan(static_cast<LONG>(random() % 20001) - 10000), DS_OK);
        break;
      case 8:
        ASSERT_EQ(buffer->GetCurrentPosition(&play, &write), DS_OK);
        ASSERT_LT(play, caps.dwBufferBytes);
        ASSERT_LT(write, caps.dwBufferBytes);
        ASSERT_EQ(buffer->GetStatus(&status), DS_OK);
        break;
    }
    steps->fetch_add(1, std::memory_order_relaxed);
  }
  for (IDirectSoundBuffer* buffer : pool)
    if (buffer != nullptr) buffer->Release();
}

TEST(MixerStress, BuffersChurnWhileTheNullOutputMixes) {
  ::setenv("VELMO_AUDIO_OUTPUT", "null", 1);
  IDirectSound* device = CreateAudioDevice();
  ASSERT_EQ(device->Initialize(nullptr), DS_OK);
  std::atomic<long> steps{0};
  std::thread other([&] { Churn(device, 2, &steps); });
  Churn(device, 1, &steps);
  other.join();
  EXPECT_GT(steps.load(), 1000);
  EXPECT_EQ(device->Release(), 0u);
}

// The manual output rendered flat out from a thread of its own mixes far
// more often than a real-time output, and its removals and reopenings race
// the callers' Restore calls.
TEST(MixerStress, BuffersChurnWhileAManualOutputMixesFlatOutAndComesAndGoes) {
  ManualOutput* output = nullptr;
  IDirectSound* device = CreateManualAudioDevice(&output);
  ASSERT_EQ(device->Initialize(nullptr), DS_OK);
  std::atomic<bool> done{false};
  std::atomic<long> passes{0};
  std::thread mixer([&] {
    while (!done.load()) {
      output->RenderFloat(256);
      if (passes.fetch_add(1) % 500 == 250) output->SimulateRemoval();
      if (passes.load() % 500 == 400) output->SimulateReopen();
    }
  });
  std::atomic<long> steps{0};
  Churn(device, 3, &steps);
  done.store(true);
  mixer.join();
  EXPECT_GT(passes.load(), 100);
  EXPECT_GT(steps.load(), 1000);
  EXPECT_EQ(device->Release(), 0u);
}

}  // namespace
}  // namespace velmo::testing
