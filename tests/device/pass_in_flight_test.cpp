// Buffer calls that land while a mixer pass is in flight: the pass has taken
// the voice's controls and has not yet read the ring.  The mixer runs on a
// thread of the test's own and a probe holds the pass there, so every case
// is exact; the last one races a free-running mixer instead (for the tsan
// preset).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "platform/audio/device/buffer_format.h"
#include "platform/audio/device/software_buffer.h"
#include "platform/audio/mixing/interpolator.h"
#include "platform/audio/mixing/mixer.h"
#include "tests/device/device_test_support.h"

namespace velmo::testing {
namespace {

// A mixer with no output: the test renders each pass itself.
class BareMixer {
 public:
  explicit BareMixer(std::uint32_t rate = 48000, std::uint32_t period = 512)
      : mixer(std::make_shared<Mixer>(rate, period)) {}

  IDirectSoundBuffer* Create(WAVEFORMATEX format, DWORD bytes) {
    BufferFormat parsed;
    EXPECT_EQ(ParseBufferFormat(&format, &parsed), DS_OK);
    DSBUFFERDESC desc = Description(&format, bytes);
    IDirectSoundBuffer* buffer = nullptr;
    EXPECT_EQ(SoftwareBuffer::Create(mixer, desc, parsed, &buffer), DS_OK);
    return buffer;
  }
  std::vector<float> Render(std::size_t frames) {
    std::vector<float> mix(2 * frames);
    mixer->Render(mix.data(), frames);
    return mix;
  }

  std::shared_ptr<Mixer> mixer;
};

// One pass on a thread of its own, held once the voices have taken their
// controls until Finish lets it go on.
class HeldPass final : public PassProbe {
 public:
  HeldPass(Mixer& mixer, std::size_t frames) : mixer_(mixer), mix_(2 * frames) {
    mixer_.SetPassProbe(this);
    thread_ = std::thread([this, frames] { mixer_.Render(mix_.data(), frames); });
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return held_; });
  }
  ~HeldPass() {
    if (thread_.joinable()) Finish();
  }

  // Lets the pass run to its end; returns what it mixed.
  std::vector<float> Finish() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      released_ = true;
    }
    changed_.notify_all();
    thread_.join();
    mixer_.SetPassProbe(nullptr);
    return mix_;
  }

  void ControlsTaken(std::size_t) override {
    std::unique_lock<std::mutex> lock(mutex_);
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
  }

 private:
  Mixer& mixer_;
  std::vector<float> mix_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool released_ = false;
};

float Level(std::int16_t sample) { return static_cast<float>(sample) / 32768.0f; }

// Writes bytes unlike the ring's into everything from the write cursor round
// to the play cursor, the span the caller is told it may write.
void OverwriteFreeSpan(IDirectSoundBuffer* buffer, DWORD length) {
  DWORD play = 0, write = 0;
  ASSERT_EQ(buffer->GetCurrentPosition(&play, &write), DS_OK);
  const DWORD free = write >= play ? length - (write - play) : play - write;
  ASSERT_GT(free, 1u);
  const std::vector<std::uint8_t> junk(free, 0x7F);
  Write(buffer, write, junk.data(), free);
}

TEST(PassInFlight, APlayThatMakesAOneShotLoopDuringItsLastPassKeepsItPlaying) {
  constexpr std::size_t kFrames = 700;
  const auto samples = Ramp(2 * kFrames, 5, 13);
  BareMixer m;
  IDirectSoundBuffer* buffer = m.Create(PcmFormat(2, 48000, 16), kFrames * 4);
  Write(buffer, 0, samples.data(), kFrames * 4);
  ASSERT_EQ(buffer->Play(0, 0, 0), DS_OK);
  m.Render(512);  // 188 frames left

  // The pass has taken the play as a one-shot and will end it; the Play
  // comes before it says so.
  HeldPass pass(*m.mixer, 512);
  ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  const std::vector<float> last = pass.Finish();
  for (std::size_t i = 0; i < 2 * (kFrames - 512); ++i) ASSERT_EQ(last[i], Level(samples[2 * 512 + i])) << i;

  DWORD status = 0;
  ASSERT_EQ(buffer->GetStatus(&status), DS_OK);
  EXPECT_EQ(status, DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);
  // It loops from the start, as a Play just after the end would have.
  const std::vector<float> next = m.Render(2 * kFrames);
  for (std::size_t i = 0; i < next.size(); ++i)
    ASSERT_EQ(next[i], Level(samples[i % (2 * kFrames)])) << "sample " << i;
  buffer->Release();
}

// Made looping before its last pass, a one-shot goes on without a seam,
// at step 1 and through the interpolator alike: the same signal as a buffer
// that looped from the start.
TEST(PassInFlight, AOneShotMadeLoopingInMidPlayGoesOnWithoutASeam) {
  constexpr std::size_t kFrames = 1500;
  const auto samples = Ramp(2 * kFrames, 9, 17);
  for (DWORD rate : {48000u, 44100u}) {
    BareMixer once, looped;
    IDirectSoundBuffer* a = once.Create(PcmFormat(2, rate, 16), kFrames * 4);
    IDirectSoundBuffer* b = looped.Create(PcmFormat(2, rate, 16), kFrames * 4);
    Write(a, 0, samples.data(), kFrames * 4);
    Write(b, 0, samples.data(), kFrames * 4);
    ASSERT_EQ(a->Play(0, 0, 0), DS_OK);
    ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    for (int pass = 0; pass < 8; ++pass) {
      if (pass == 1) {
        ASSERT_EQ(a->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
      }
      ASSERT_EQ(once.Render(512), looped.Render(512)) << rate << " Hz, pass " << pass;
    }
    a->Release();
    b->Release();
  }
}

// A seek the mixer has not applied yet: the play cursor is the new place,
// but the pass in flight reads on from the old one, and the write cursor
// must stand past that read too.
TEST(PassInFlight, TheWriteCursorCoversTheOldPlaceWhileASeekIsPending) {
  constexpr DWORD kFrames = 48000;
  constexpr DWORD kBytes = kFrames * 4;
  const auto samples = Ramp(2 * kFrames, 3, 11);
  BareMixer held, reference;
  IDirectSoundBuffer* a = held.Create(PcmFormat(2, 48000, 16), kBytes);
  IDirectSoundBuffer* b = reference.Create(PcmFormat(2, 48000, 16), kBytes);
  for (IDirectSoundBuffer* buffer : {a, b}) {
    Write(buffer, 0, samples.data(), kBytes);
    ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  }
  for (int pass = 0; pass < 4; ++pass) ASSERT_EQ(held.Render(512), reference.Render(512));

  // The reference takes the pass before the seek; the held pass took its
  // controls before it too, so both read the same bytes unless the caller
  // was told to write over some of them.
  const std::vector<float> expected = reference.Render(512);
  ASSERT_EQ(b->SetCurrentPosition(100000), DS_OK);
  {
    HeldPass pass(*held.mixer, 512);
    ASSERT_EQ(a->SetCurrentPosition(100000), DS_OK);
    DWORD play = 0, write = 0;
    ASSERT_EQ(a->GetCurrentPosition(&play, &write), DS_OK);
    EXPECT_EQ(play, 100000u);
    OverwriteFreeSpan(a, kBytes);
    EXPECT_EQ(pass.Finish(), expected) << "the pass read bytes behind the write cursor";
  }
  Write(a, 0, samples.data(), kBytes);
  EXPECT_EQ(held.Render(512), reference.Render(512)) << "the seek took effect on both";

  // A seek to just ahead of the old place: the span the pass in flight may
  // read runs from the new play cursor round the whole ring, so nothing is
  // free, and the write cursor stands one byte behind the play cursor.
  DWORD play = 0, write = 0;
  ASSERT_EQ(a->GetCurrentPosition(&play, &write), DS_OK);
  {
    HeldPass pass(*held.mixer, 512);
    ASSERT_EQ(a->SetCurrentPosition(play + 8), DS_OK);
    DWORD newPlay = 0;
    ASSERT_EQ(a->GetCurrentPosition(&newPlay, &write), DS_OK);
    EXPECT_EQ(newPlay, play + 8);
    EXPECT_EQ(write, play + 7);
  }
  a->Release();
  b->Release();
}

// Just after the frequency drops, the pass in flight still reads at the old
// rate, four source frames to an output frame here: the write cursor keeps
// that pass's span until it is over, then comes back to the new rate's.
TEST(PassInFlight, TheWriteCursorKeepsTheOldRatesSpanUntilThePassInFlightIsOver) {
  constexpr DWORD kFrames = 48000;
  constexpr DWORD kBytes = kFrames * 4;
  const auto samples = Ramp(2 * kFrames, 3, 11);
  BareMixer held, reference;
  IDirectSoundBuffer* a = held.Create(PcmFormat(2, 48000, 16), kBytes);
  IDirectSoundBuffer* b = reference.Create(PcmFormat(2, 48000, 16), kBytes);
  for (IDirectSoundBuffer* buffer : {a, b}) {
    Write(buffer, 0, samples.data(), kBytes);
    ASSERT_EQ(buffer->SetFrequency(192000), DS_OK);
    ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  }
  for (int pass = 0; pass < 2; ++pass) ASSERT_EQ(held.Render(512), reference.Render(512));

  const std::vector<float> expected = reference.Render(512);
  ASSERT_EQ(b->SetFrequency(48000), DS_OK);
  {
    HeldPass pass(*held.mixer, 512);
    ASSERT_EQ(a->SetFrequency(48000), DS_OK);
    OverwriteFreeSpan(a, kBytes);
    EXPECT_EQ(pass.Finish(), expected) << "the pass read bytes behind the write cursor";
  }

  DWORD play = 0, write = 0;
  ASSERT_EQ(a->GetCurrentPosition(&play, &write), DS_OK);
  const unsigned reach = InterpolatorReach(kUnitStep).after;
  EXPECT_EQ((write + kBytes - play) % kBytes, (512u + reach + 1) * 4);
  a->Release();
  b->Release();
}

// The same race as the first case, against a mixer running flat out: a
// one-shot one pass long, played, then made looping once a pass is under
// way.  Whichever pass ends the one-shot, the buffer must still be playing
// two passes after the Play returned.
TEST(PassInFlight, APlayRacingAFreeRunningMixerAtAOneShotsEndNeverLeavesItStopped) {
  constexpr std::size_t kPeriod = 256;
  BareMixer m(48000, kPeriod);
  IDirectSoundBuffer* buffer = m.Create(PcmFormat(2, 48000, 16), kPeriod * 4);
  const auto samples = Ramp(2 * kPeriod);
  Write(buffer, 0, samples.data(), kPeriod * 4);

  std::atomic<bool> done{false};
  std::thread mixer([&] {
    std::vector<float> mix(2 * kPeriod);
    while (!done.load(std::memory_order_relaxed)) m.mixer->Render(mix.data(), kPeriod);
  });
  // Waits for the pass counter to pass `count`; false if the mixer stalls.
  auto passBeyond = [&](std::uint64_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (m.mixer->passes() <= count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();  // the mixer may share this core
    }
    return true;
  };

  std::mt19937 random(7);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  long tries = 0, stopped = 0;
  while (std::chrono::steady_clock::now() < end && tries < 20000) {
    ASSERT_EQ(buffer->Stop(), DS_OK);
    ASSERT_EQ(buffer->SetCurrentPosition(0), DS_OK);
    ASSERT_EQ(buffer->Play(0, 0, 0), DS_OK);
    // Into the next pass, at a varying point of it.
    std::uint64_t seen = m.mixer->passes();
    ASSERT_TRUE(passBeyond(seen % 2 == 0 ? seen : seen + 1));
    for (unsigned spin = random() % 64; spin > 0; --spin) std::atomic_signal_fence(std::memory_order_seq_cst);
    ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    seen = m.mixer->passes();
    ASSERT_TRUE(passBeyond(seen + 4));
    DWORD status = 0;
    ASSERT_EQ(buffer->GetStatus(&status), DS_OK);
    if (status != (DSBSTATUS_PLAYING | DSBSTATUS_LOOPING)) ++stopped;
    ++tries;
  }
  done.store(true);
  mixer.join();
  RecordProperty("tries", static_cast<int>(tries));
  // Thousands of tries in a plain build, fewer under ThreadSanitizer on a
  // busy machine; on a mixer with the fault, most tries lose the Play.
  EXPECT_GT(tries, 20);
  EXPECT_EQ(stopped, 0) << "of " << tries << " tries";
  buffer->Release();
}

}  // namespace
}  // namespace velmo::testing
