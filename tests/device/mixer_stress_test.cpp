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

#include "platform/audio/device/software_device.h"
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
  const auto end = std::chrono::steady_clock::now() + kRunTime;
  while (std::chrono::steady_clock::now() < end) {
    IDirectSoundBuffer*& buffer = pool[random() % pool.size()];
    if (buffer == nullptr) {
      // Every other new buffer a duplicate of one in the pool, when there
      // is one: sharers are released in any order.
      IDirectSoundBuffer* original = pool[random() % pool.size()];
      if (original != nullptr && random() % 2) {
        const HRESULT hr = device->DuplicateSoundBuffer(original, &buffer);
        ASSERT_EQ(hr, DS_OK);
        continue;
      }
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
        const DWORD bytes = 1 + random() % std::min<DWORD>(caps.dwBufferBytes, 8192);
        void *p1 = nullptr, *p2 = nullptr;
        DWORD n1 = 0, n2 = 0;
        ASSERT_EQ(buffer->Lock(offset, bytes, &p1, &n1, &p2, &n2, 0), DS_OK);
        // The regions are the ring the mixer reads: writing into them here,
        // at random places, would be the caller's fault (and a race by
        // design).  What callers write is checked by the contention test
        // below, which writes only where the contract allows.
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
// more often than a real-time output, and its removals and reopenings (the
// device's clock keeper starting and stopping) race the callers' calls.
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

// A looping buffer refilled behind its play cursor, as a stream is, while
// other threads poll and set its controls as games do.  The mixer must
// neither skip the voice nor read a byte before the refill that wrote it is
// published: the rendered signal is the source, unbroken, sample for sample.
TEST(MixerContention, ARefilledLoopPlaysUnbrokenWhileCallersHammerItsControls) {
  constexpr std::uint32_t kRate = 48000, kPeriod = 512;
  constexpr DWORD kRingFrames = 9600;  // 0.2 s
  constexpr std::size_t kPasses = 1500;
  constexpr std::size_t kTotal = kPasses * kPeriod;
  const std::vector<std::int16_t> source = Ramp(2 * (kTotal + kRingFrames), 3, 11);

  ManualDevice dev(kRate, kPeriod);
  IDirectSoundBuffer* buffer = dev.Create(PcmFormat(2, kRate, 16), kRingFrames * 4);
  ASSERT_NE(buffer, nullptr);
  Write(buffer, 0, source.data(), kRingFrames * 4);
  ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  DWORD play = 0, write = 0;
  ASSERT_EQ(buffer->GetCurrentPosition(&play, &write), DS_OK);
  const std::size_t lead = (write - play) / 4;

  // The renderer renders a period only once the frames it may read are in
  // the ring; it waits on the refiller, never on the device.
  std::atomic<std::size_t> filled{kRingFrames};  // source frames written so far
  std::atomic<bool> done{false};
  std::vector<float> rendered(2 * kTotal);
  // A mixer that leaves the voice out of a pass consumes nothing in it, so
  // the refills stop coming: the renderer then gives up after a while.
  std::size_t passes = 0;
  std::atomic<long> calls{0};  // the hammers' rounds of calls
  std::thread renderer([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    // The passes take milliseconds; on a loaded machine they could all be
    // over before a hammer first runs, and the contention never happen.
    while (calls.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    for (; passes < kPasses; ++passes) {
      while (filled.load(std::memory_order_acquire) < passes * kPeriod + kPeriod + lead) {
        if (std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::yield();
      }
      if (std::chrono::steady_clock::now() > deadline) break;
      dev.output().RenderInto(rendered.data() + 2 * passes * kPeriod, kPeriod);
    }
    done.store(true);
  });
  std::thread refiller([&] {
    DWORD refill = 0;  // ring offset of the next byte to write
    std::size_t next = kRingFrames;
    while (!done.load()) {
      DWORD cursor = 0;
      ASSERT_EQ(buffer->GetCurrentPosition(&cursor, nullptr), DS_OK);
      const DWORD bytes = cursor >= refill ? cursor - refill : cursor + kRingFrames * 4 - refill;
      if (bytes == 0) {
        std::this_thread::yield();
        continue;
      }
      void *p1 = nullptr, *p2 = nullptr;
      DWORD n1 = 0, n2 = 0;
      ASSERT_EQ(buffer->Lock(refill, bytes, &p1, &n1, &p2, &n2, 0), DS_OK);
      std::memcpy(p1, source.data() + 2 * next, n1);
      if (n2 > 0) std::memcpy(p2, source.data() + 2 * next + n1 / 2, n2);
      ASSERT_EQ(buffer->Unlock(p1, n1, p2, n2), DS_OK);
      next += bytes / 4;
      refill = (refill + bytes) % (kRingFrames * 4);
      filled.store(next, std::memory_order_release);
    }
  });
  std::vector<std::thread> hammers;
  for (int h = 0; h < 2; ++h) {
    hammers.emplace_back([&] {
      while (!done.load()) {
        DWORD p = 0, w = 0, status = 0;
        EXPECT_EQ(buffer->GetCurrentPosition(&p, &w), DS_OK);
        EXPECT_EQ(buffer->GetStatus(&status), DS_OK);
        EXPECT_EQ(status, DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);
        EXPECT_EQ(buffer->SetVolume(0), DS_OK);
        EXPECT_EQ(buffer->SetPan(0), DS_OK);
        EXPECT_EQ(buffer->SetFrequency(kRate), DS_OK);
        calls.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  renderer.join();
  refiller.join();
  for (auto& h : hammers) h.join();
  EXPECT_GT(calls.load(), 0);
  ASSERT_EQ(passes, kPasses) << "the refills stopped: the mixer no longer consumed the voice";

  std::size_t mismatches = 0, first = kTotal;
  for (std::size_t i = 0; i < 2 * kTotal; ++i) {
    if (static_cast<float>(source[i]) / 32768.0f != rendered[i]) {
      if (mismatches++ == 0) first = i / 2;
    }
  }
  EXPECT_EQ(mismatches, 0u) << "first broken frame: " << first << " of " << kTotal;
  buffer->Release();
}

}  // namespace
}  // namespace velmo::testing
