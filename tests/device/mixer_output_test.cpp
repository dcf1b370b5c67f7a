// What the mixer makes of buffers, checked sample by sample on the manual
// output.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "platform/audio/mixing/interpolator.h"
#include "tests/device/device_test_support.h"

namespace velmo::testing {
namespace {

constexpr std::uint32_t kRate = 48000;

int Expected(double sample) { return static_cast<int>(std::lrint(sample)); }

TEST(Mixer, SixteenBitAtTheOutputRateIsSampleExact) {
  ManualDevice dev(kRate);
  constexpr std::size_t kFrames = 3000;
  const auto samples = Ramp(2 * kFrames);
  IDirectSoundBuffer* buffer = dev.Create(PcmFormat(2, kRate, 16), kFrames * 4);
  Write(buffer, 0, samples.data(), kFrames * 4);
  ASSERT_EQ(buffer->Play(0, 0, 0), DS_OK);
  const auto out = dev.output().Render(kFrames);
  ASSERT_EQ(out.size(), 2 * kFrames);
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], samples[i]) << "sample " << i;
  buffer->Release();
}

TEST(Mixer, MonoGoesToBothChannelsAtFullLevel) {
  ManualDevice dev(kRate);
  constexpr std::size_t kFrames = 1000;
  const auto samples = Ramp(kFrames, -20000, 41);
  IDirectSoundBuffer* buffer = dev.Create(PcmFormat(1, kRate, 16), kFrames * 2);
  Write(buffer, 0, samples.data(), kFrames * 2);
  ASSERT_EQ(buffer->Play(0, 0, 0), DS_OK);
  const auto out = dev.output().Render(kFrames);
  for (std::size_t i = 0; i < kFrames; ++i) {
    ASSERT_EQ(out[2 * i], samples[i]) << "frame " << i;
    ASSERT_EQ(out[2 * i + 1], samples[i]) << "frame " << i;
  }
  buffer->Release();
}

TEST(Mixer, PanAndVolumeAttenuateByHundredthsOfADecibel) {
  constexpr std::size_t kFrames = 2000;
  const auto samples = Ramp(2 * kFrames, 3, 29);
  for (bool usePan : {true, false}) {
    SCOPED_TRACE(usePan ? "pan +4000" : "volume -4000");
    ManualDevice dev(kRate);
    IDirectSoundBuffer* buffer = dev.Create(PcmFormat(2, kRate, 16), kFrames * 4);
    Write(buffer, 0, samples.data(), kFrames * 4);
    ASSERT_EQ(usePan ? buffer->SetPan(4000) : buffer->SetVolume(-4000), DS_OK);
    ASSERT_EQ(buffer->Play(0, 0, 0), DS_OK);
    const auto out = dev.output().Render(kFrames);
    for (std::size_t i = 0; i < kFrames; ++i) {
      // 40 dB down is a gain of 0.01.
      ASSERT_NEAR(out[2 * i], Expected(samples[2 * i] * 0.01), 1) << "left, frame " << i;
      if (usePan) ASSERT_EQ(out[2 * i + 1], samples[2 * i + 1]) << "right, frame " << i;
      else ASSERT_NEAR(out[2 * i + 1], Expected(samples[2 * i + 1] * 0.01), 1) << "right, frame " << i;
    }
    buffer->Release();
  }
  // A negative pan is the mirror image.
  ManualDevice dev(kRate);
  IDirectSoundBuffer* buffer = dev.Create(PcmFormat(2, kRate, 16), kFrames * 4);
  Write(buffer, 0, samples.data(), kFrames * 4);
  ASSERT_EQ(buffer->SetPan(-4000), DS_OK);
  ASSERT_EQ(buffer->Play(0, 0, 0), DS_OK);
  const auto out = dev.output().Render(kFrames);
  for (std::size_t i = 0; i < kFrames; ++i) {
    ASSERT_EQ(out[2 * i], samples[2 * i]);
    ASSERT_NEAR(out[2 * i + 1], Expected(samples[2 * i + 1] * 0.01), 1);
  }
  buffer->Release();
}

TEST(Mixer, SilentBuffersMixToSilence) {
  ManualDevice dev(kRate);
  // Fresh buffers already hold silence; writing it explicitly must too.
  IDirectSoundBuffer* eightBit = dev.Create(PcmFormat(1, 22050, 8), 2205);
  IDirectSoundBuffer* sixteenBit = dev.Create(PcmFormat(2, 44100, 16), 17640);
  const std::vector<std::uint8_t> silence8(2205, 0x80);
  const std::vector<std::uint8_t> silence16(17640, 0);
  Write(eightBit, 0, silence8.data(), 2205);
  Write(sixteenBit, 0, silence16.data(), 17640);
  ASSERT_EQ(eightBit->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  ASSERT_EQ(sixteenBit->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  const auto out = dev.output().RenderFloat(12000);
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 0.0f) << "sample " << i;
  eightBit->Release();
  sixteenBit->Release();
}

TEST(Mixer, SampleFormatsDecodeToTheSameScale) {
  ManualDevice dev(kRate);
  auto renderFirst = [&](WAVEFORMATEX format, const void* frame, DWORD bytes) {
    IDirectSoundBuffer* buffer = dev.Create(format, bytes);
    Write(buffer, 0, frame, bytes);
    EXPECT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    const auto out = dev.output().Render(4);
    buffer->Release();
    return std::pair<int, int>(out[0], out[1]);
  };
  const std::uint8_t u8[] = {0xC0, 0x40, 0xC0, 0x40};  // +0.5, -0.5
  EXPECT_EQ(renderFirst(PcmFormat(2, kRate, 8), u8, 4), std::make_pair(16384, -16384));
  const std::uint8_t s24[] = {0x00, 0x34, 0x12, 0x00, 0xCC, 0xED};  // 0x123400, -0x123400
  EXPECT_EQ(renderFirst(PcmFormat(2, kRate, 24), s24, 6), std::make_pair(0x1234, -0x1234));
  const std::int32_t s32[] = {0x12340000, -0x12340000};
  EXPECT_EQ(renderFirst(PcmFormat(2, kRate, 32), s32, 8), std::make_pair(0x1234, -0x1234));
  WAVEFORMATEX f32 = PcmFormat(2, kRate, 32);
  f32.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  const float floats[] = {0.25f, -2.0f};  // the second clips at the output
  EXPECT_EQ(renderFirst(f32, floats, 8), std::make_pair(8192, -32768));
  // Float samples that are not numbers are silence, not full-scale noise.
  const float broken[] = {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()};
  EXPECT_EQ(renderFirst(f32, broken, 8), std::make_pair(0, 0));

  // The extensible record with a float sub-format, its tail right after it.
  struct {
    WAVEFORMATEX head;
    WORD validBits;
    DWORD mask;
    GUID subFormat;
  } __attribute__((packed)) extensible{};
  extensible.head = f32;
  extensible.head.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  extensible.head.cbSize = 22;
  extensible.validBits = 32;
  extensible.mask = 0x3;
  extensible.subFormat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  DSBUFFERDESC desc = Description(&extensible.head, 8);
  IDirectSoundBuffer* buffer = nullptr;
  ASSERT_EQ(dev.device()->CreateSoundBuffer(&desc, &buffer, nullptr), DS_OK);
  Write(buffer, 0, floats, 8);
  ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  EXPECT_EQ(dev.output().Render(1)[0], 8192);
  buffer->Release();
  // An unknown sub-format is refused.
  extensible.subFormat.Data1 = 2;
  EXPECT_EQ(dev.device()->CreateSoundBuffer(&desc, &buffer, nullptr), DSERR_BADFORMAT);
}

TEST(Mixer, MoreThanTwoChannelsAreMixedDownWithoutExceedingFullScale) {
  ManualDevice dev(kRate);
  // 5.1 in the usual order: FL FR FC LFE BL BR.
  const std::int16_t frontLeftOnly[6] = {16384, 0, 0, 0, 0, 0};
  const std::int16_t everything[6] = {32767, 32767, 32767, 32767, 32767, 32767};
  IDirectSoundBuffer* buffer = dev.Create(PcmFormat(6, kRate, 16), sizeof frontLeftOnly);
  Write(buffer, 0, frontLeftOnly, sizeof frontLeftOnly);
  ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  auto out = dev.output().Render(1);
  // The left output carries front left, back left and centre at -3 dB.
  EXPECT_NEAR(out[0], 16384 / (2.0 + std::sqrt(0.5)), 1);
  EXPECT_EQ(out[1], 0);
  Write(buffer, 0, everything, sizeof everything);
  out = dev.output().Render(1);
  EXPECT_NEAR(out[0], 32767, 1);
  EXPECT_NEAR(out[1], 32767, 1);
  buffer->Release();
}

TEST(Mixer, VoicesAddUpAndClipAtFullScale) {
  ManualDevice dev(kRate);
  const std::int16_t loud[2] = {30000, -30000};
  IDirectSoundBuffer* a = dev.Create(PcmFormat(2, kRate, 16), 4);
  IDirectSoundBuffer* b = dev.Create(PcmFormat(2, kRate, 16), 4);
  Write(a, 0, loud, 4);
  Write(b, 0, loud, 4);
  ASSERT_EQ(a->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  const auto out = dev.output().Render(8);
  EXPECT_EQ(out[0], 32767);
  EXPECT_EQ(out[1], -32768);
  ASSERT_EQ(b->SetVolume(-10000), DS_OK);  // the bottom of the range is silence
  dev.output().Render(512);                // a change of gain ramps across one period
  EXPECT_EQ(dev.output().Render(1)[0], 30000);
  a->Release();
  b->Release();
}

TEST(Mixer, LoopingWrapsWithoutAGapAndOneShotStopsAtItsEnd) {
  ManualDevice dev(kRate);
  constexpr std::size_t kFrames = 700;
  const auto samples = Ramp(2 * kFrames, 5, 13);
  IDirectSoundBuffer* buffer = dev.Create(PcmFormat(2, kRate, 16), kFrames * 4);
  Write(buffer, 0, samples.data(), kFrames * 4);

  ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  DWORD status = 0;
  ASSERT_EQ(buffer->GetStatus(&status), DS_OK);
  EXPECT_EQ(status, DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);
  auto out = dev.output().Render(3 * kFrames + 100);
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], samples[i % (2 * kFrames)]) << "sample " << i;
  DWORD play = 0, write = 0;
  ASSERT_EQ(buffer->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_EQ(play, 100u * 4);
  // The write cursor stands ahead by all one period (512 frames) may read:
  // the period and the interpolator's look-ahead past it.
  const unsigned reach = InterpolatorReach(std::uint64_t{1} << kStepFractionBits).after;
  EXPECT_EQ(write, (100u + 512 + reach + 1) * 4);

  // Stop keeps the position, and Play resumes from it.
  ASSERT_EQ(buffer->Stop(), DS_OK);
  ASSERT_EQ(buffer->GetStatus(&status), DS_OK);
  EXPECT_EQ(status, 0u);
  out = dev.output().Render(10);
  for (auto s : out) ASSERT_EQ(s, 0);
  ASSERT_EQ(buffer->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_EQ(play, 400u);
  EXPECT_EQ(write, 400u);

  // Played once from there, it runs to its end and stops by itself.
  ASSERT_EQ(buffer->Play(0, 0, 0), DS_OK);
  out = dev.output().Render(kFrames);
  for (std::size_t i = 0; i < kFrames - 100; ++i) ASSERT_EQ(out[2 * i], samples[2 * (i + 100)]) << "frame " << i;
  for (std::size_t i = kFrames - 100; i < kFrames; ++i) ASSERT_EQ(out[2 * i], 0) << "frame " << i;
  ASSERT_EQ(buffer->GetStatus(&status), DS_OK);
  EXPECT_EQ(status, 0u);
  ASSERT_EQ(buffer->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_EQ(play, 0u);

  // SetCurrentPosition moves the start of the next play.
  ASSERT_EQ(buffer->SetCurrentPosition(4 * 600), DS_OK);
  ASSERT_EQ(buffer->Play(0, 0, 0), DS_OK);
  out = dev.output().Render(200);
  EXPECT_EQ(out[0], samples[1200]);
  EXPECT_EQ(out[2 * 99], samples[2 * 699]);
  EXPECT_EQ(out[2 * 100], 0);
  buffer->Release();
}

// A ring whose length is not a whole number of frames, refilled behind the
// play cursor with a continuous byte stream, the way the stream player does:
// the frame that straddles the end takes its last bytes from the start, and
// the output is the stream in order.
// A position inside a frame would decode every sample shifted by a byte:
// the buffer plays from the start of that frame instead.
TEST(Mixer, APositionInsideAFramePlaysFromThatFrame) {
  ManualDevice dev(kRate);
  const auto samples = Ramp(2 * 64, 100, 300);
  IDirectSoundBuffer* buffer = dev.Create(PcmFormat(2, kRate, 16), 64 * 4);
  Write(buffer, 0, samples.data(), 64 * 4);
  ASSERT_EQ(buffer->SetCurrentPosition(10 * 4 + 3), DS_OK);
  DWORD play = 0;
  ASSERT_EQ(buffer->GetCurrentPosition(&play, nullptr), DS_OK);
  EXPECT_EQ(play, 10u * 4);
  ASSERT_EQ(buffer->Play(0, 0, 0), DS_OK);
  const auto out = dev.output().Render(4);
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], samples[2 * 10 + i]) << i;
  buffer->Release();
}

TEST(Mixer, NonAlignedRingPlaysTheByteStreamInOrder) {
  ManualDevice dev(kRate);
  constexpr DWORD kLength = 1002;  // 250.5 stereo 16-bit frames
  const auto stream = Ramp(2 * 4000, 11, 3);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(stream.data());
  IDirectSoundBuffer* buffer = dev.Create(PcmFormat(2, kRate, 16), kLength);
  Write(buffer, 0, bytes, kLength);
  std::size_t written = kLength;
  DWORD refill = 0;
  ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  std::vector<std::int16_t> out;
  for (int chunk = 0; chunk < 30; ++chunk) {
    const auto part = dev.output().Render(100);
    out.insert(out.end(), part.begin(), part.end());
    DWORD play = 0, write = 0;
    ASSERT_EQ(buffer->GetCurrentPosition(&play, &write), DS_OK);
    const DWORD played = play >= refill ? play - refill : play + kLength - refill;
    Write(buffer, refill, bytes + written, played);
    written += played;
    refill = play;
  }
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], stream[i]) << "sample " << i;
  buffer->Release();
}

TEST(Mixer, HalfRateBufferPlaysTwiceAsLongAtItsOwnByteRate) {
  for (bool viaSetFrequency : {false, true}) {
    SCOPED_TRACE(viaSetFrequency ? "48000 Hz buffer set to 24000" : "24000 Hz buffer");
    ManualDevice dev(kRate);
    constexpr std::size_t kFrames = 4800;  // 0.2 s at 24000 Hz
    const std::vector<std::int16_t> level(kFrames, 16000);
    IDirectSoundBuffer* buffer = dev.Create(PcmFormat(1, viaSetFrequency ? kRate : 24000, 16), kFrames * 2);
    Write(buffer, 0, level.data(), kFrames * 2);
    if (viaSetFrequency) {
      ASSERT_EQ(buffer->SetFrequency(24000), DS_OK);
    }
    ASSERT_EQ(buffer->Play(0, 0, 0), DS_OK);

    // After 0.1 s of output the cursor has consumed 0.1 s of the buffer's
    // data, give or take the resampler's look-ahead of a few dozen frames.
    auto out = dev.output().Render(4800);
    DWORD play = 0, write = 0;
    ASSERT_EQ(buffer->GetCurrentPosition(&play, &write), DS_OK);
    EXPECT_NEAR(static_cast<double>(play), 2400.0 * 2, 2 * 64.0);
    const auto rest = dev.output().Render(8000);
    out.insert(out.end(), rest.begin(), rest.end());

    std::size_t sounding = 0;
    for (std::size_t i = 0; i < out.size() / 2; ++i) {
      if (std::abs(out[2 * i]) > 8000) ++sounding;
      EXPECT_EQ(out[2 * i], out[2 * i + 1]);
    }
    EXPECT_NEAR(static_cast<double>(sounding), 2.0 * kFrames, 64.0);
    // In the middle the level is carried through the conversion.
    EXPECT_NEAR(out[2 * 5000], 16000, 40);
    DWORD status = 1;
    ASSERT_EQ(buffer->GetStatus(&status), DS_OK);
    EXPECT_EQ(status, 0u);
    buffer->Release();
  }
}

TEST(Mixer, RateChangesWhilePlayingKeepTheSoundGoing) {
  ManualDevice dev(kRate);
  constexpr std::size_t kFrames = 44100;
  const std::vector<std::int16_t> tone = StereoTone(kFrames, 441, 44100);
  IDirectSoundBuffer* buffer = dev.Create(PcmFormat(2, 44100, 16), kFrames * 4);
  Write(buffer, 0, tone.data(), kFrames * 4);
  ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  for (DWORD hz : {44100u, 22050u, 48000u, 96000u, 11025u, 200000u, 100u}) {
    ASSERT_EQ(buffer->SetFrequency(hz), DS_OK);
    DWORD before = 0, after = 0, write = 0;
    ASSERT_EQ(buffer->GetCurrentPosition(&before, &write), DS_OK);
    const auto out = dev.output().Render(4800);
    ASSERT_EQ(buffer->GetCurrentPosition(&after, &write), DS_OK);
    // The cursor moves at the buffer's own rate, 0.1 s of data per 0.1 s,
    const double moved = static_cast<double>((after + kFrames * 4 - before) % (kFrames * 4)) / 4;
    // give or take the look-ahead, which grows with the down-sampling ratio.
    EXPECT_NEAR(moved, hz / 10.0, 150.0) << hz << " Hz";
    int peak = 0;
    for (auto s : out) peak = std::max(peak, std::abs(static_cast<int>(s)));
    if (hz >= 11025) {
      EXPECT_GT(peak, 9000) << hz << " Hz";
    }
    EXPECT_LE(peak, 13000) << hz << " Hz";
  }
  buffer->Release();
}

// A frequency swept through the output's rate, a little every period, as a
// game's engine sound does: the interpolator's path and the one that copies
// frames at the output rate must join without a click.  On a 440 Hz tone the
// largest step from one sample to the next is about 700; a click is a step
// many times that.
TEST(Mixer, AGlideThroughTheOutputRateDoesNotClick) {
  ManualDevice dev(kRate);
  constexpr std::size_t kFrames = 48000;
  const std::vector<std::int16_t> tone = StereoTone(kFrames, 440, 48000);
  IDirectSoundBuffer* buffer = dev.Create(PcmFormat(2, 48000, 16), kFrames * 4);
  Write(buffer, 0, tone.data(), kFrames * 4);
  ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  std::vector<std::int16_t> out;
  for (int period = 0; period < 100; ++period) {
    // Four periods at 48000 Hz, copied frame for frame from the ring; then
    // up to 49600 Hz and down past 48000 to 46000 Hz through the
    // interpolator, which takes over with the history the copy left.
    const int offset = period < 4 ? 0 : (period < 44 ? 40 * (period - 4) : 1600 - 40 * (period - 44));
    ASSERT_EQ(buffer->SetFrequency(static_cast<DWORD>(48000 + offset)), DS_OK);
    const auto part = dev.output().Render(512);
    out.insert(out.end(), part.begin(), part.end());
  }
  int largest = 0;
  for (std::size_t i = 2; i < out.size(); i += 2) largest = std::max(largest, std::abs(out[i] - out[i - 2]));
  EXPECT_GT(largest, 600);   // the tone is there
  EXPECT_LT(largest, 800);   // and nothing jumps

  // From the copy straight to half as fast again: the interpolator's
  // stretched kernel reaches well back into the history at once.  At 660 Hz
  // the largest step is about 1040.
  ASSERT_EQ(buffer->SetCurrentPosition(0), DS_OK);
  ASSERT_EQ(buffer->SetFrequency(48000), DS_OK);
  out = dev.output().Render(2048);
  ASSERT_EQ(buffer->SetFrequency(72000), DS_OK);
  const auto faster = dev.output().Render(2048);
  out.insert(out.end(), faster.begin(), faster.end());
  largest = 0;
  for (std::size_t i = 2; i < out.size(); i += 2) largest = std::max(largest, std::abs(out[i] - out[i - 2]));
  EXPECT_LT(largest, 1100);
  buffer->Release();
}

// A one-shot at another rate ends when its last frame has left the
// interpolator, not when it has gone in: the tail is mixed whole, then the
// cursor stands at the end (the ring's start) and the buffer is stopped.
TEST(Mixer, AConvertedOneShotDrainsItsTailThenReportsTheEnd) {
  ManualDevice dev(kRate);
  constexpr std::size_t kFrames = 441;
  const std::vector<std::int16_t> loud(2 * kFrames, 20000);
  IDirectSoundBuffer* buffer = dev.Create(PcmFormat(2, 44100, 16), kFrames * 4);
  Write(buffer, 0, loud.data(), kFrames * 4);
  ASSERT_EQ(buffer->Play(0, 0, 0), DS_OK);
  // In small passes, so that the tail falls in passes after the one that
  // took the last frame in.
  std::vector<std::int16_t> out;
  for (int pass = 0; pass < 256; ++pass) {
    const auto part = dev.output().Render(4);
    out.insert(out.end(), part.begin(), part.end());
  }
  // The data lasts 480 output frames; the kernel's ring-out carries a dozen
  // more, which a cut tail would lose.
  std::size_t last = 0;
  for (std::size_t i = 0; i < out.size() / 2; ++i)
    if (out[2 * i] != 0) last = i;
  // Source frame 440 is the last; the kernel reaches `before` frames back,
  // so output stops near source position 441 + before, in output frames.
  const unsigned before = InterpolatorReach(InterpolatorStep(44100, kRate)).before;
  EXPECT_GE(last, (kFrames + before - 1) * kRate / 44100 - 1);
  EXPECT_LE(last, (kFrames + before) * kRate / 44100 + 1);
  EXPECT_NEAR(out[2 * 240], 20000, 20);
  DWORD play = 1, status = 1;
  ASSERT_EQ(buffer->GetCurrentPosition(&play, nullptr), DS_OK);
  ASSERT_EQ(buffer->GetStatus(&status), DS_OK);
  EXPECT_EQ(play, 0u);
  EXPECT_EQ(status, 0u);
  buffer->Release();
}

}  // namespace
}  // namespace velmo::testing
