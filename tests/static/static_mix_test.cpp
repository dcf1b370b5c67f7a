// Static sounds end to end: three effects loaded from files onto the real
// software device, played at staggered times and heard on a hand-driven
// output, frame by frame.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/testing/forwarding_platform.h"
#include "platform/testing/manual_output.h"
#include "tests/static/static_fixture.h"

namespace velmo::testing {
namespace {

using ::testing::IsEmpty;

// The effects and the output share one rate, so the mix involves no rate
// conversion and every frame can be checked exactly.
constexpr std::uint32_t kRate = 22050;

// The real platform, except that the device plays into a manual output the
// test renders by hand, and message boxes are kept instead of shown.
class ManualPlatform final : public ForwardingPlatform {
 public:
  HRESULT CoCreateInstance(const GUID& clsid, IUnknown* outer, DWORD context, const GUID& iid,
                           void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!(clsid == CLSID_DirectSound) || !(iid == IID_IDirectSound) || outer != nullptr) {
      return ForwardingPlatform::CoCreateInstance(clsid, outer, context, iid, object);
    }
    *object = CreateManualAudioDevice(&output, kRate, 256);
    return *object != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  int MessageBoxA(HWND owner, const char* text, const char* caption, UINT style) override {
    boxes.push_back({owner, text ? text : "", caption ? caption : "", style});
    return IDOK;
  }

  ManualOutput* output = nullptr;  // the output of the last device created
  std::vector<MessageBoxRecord> boxes;
};

// 16-bit mono samples that change at every sample and never sit at zero, so
// that a start one frame early or late shows; small enough that three of
// them add up without clipping.
std::vector<std::int16_t> Effect(std::size_t frames, int start, int step) {
  std::vector<std::int16_t> out(frames);
  int x = start;
  for (auto& sample : out) {
    sample = static_cast<std::int16_t>(x);
    x += step;
    if (x > 9000) x -= 18000;
    if (x < -9000) x += 18000;
    if (x == 0) x = 1;
  }
  return out;
}

Bytes AsBytes(const std::vector<std::int16_t>& samples) {
  Bytes out;
  for (std::int16_t s : samples) PutWord(out, static_cast<std::uint16_t>(s));
  return out;
}

using StaticMix = StaticSoundTest;

TEST_F(StaticMix, ThreeEffectsPlayedAtStaggeredTimesAreMixedEachFromItsFirstSample) {
  ManualPlatform manual;
  ScopedPlatform installed(manual);

  const auto one = Effect(3000, 101, 37);
  const auto two = Effect(2000, -4003, 53);
  const auto three = Effect(2500, 2999, -29);
  const std::string file1 = dir.Write("sfx1.wav", PcmWave(AsBytes(one), 1, kRate, 16));
  const std::string file2 = dir.Write("sfx2.wav", PcmWave(AsBytes(two), 1, kRate, 16));
  const std::string file3 = dir.Write("sfx3.wav", PcmWave(AsBytes(three), 1, kRate, 16));

  ASSERT_EQ(sound.InitDSound(window), 1);
  ASSERT_NE(manual.output, nullptr);
  StaticSound* sfx1 = sound.LoadStatic(file1.c_str());
  StaticSound* sfx2 = sound.LoadStatic(file2.c_str());
  StaticSound* sfx3 = sound.LoadStatic(file3.c_str());
  ASSERT_TRUE(sfx1 && sfx2 && sfx3);

  // Nothing plays until asked.
  std::vector<std::int16_t> heard = manual.output->Render(100);
  const std::size_t quietFrames = 100;

  // sfx1 at frame 100, sfx2 at 700 (over sfx1), sfx3 at 1333 (over both),
  // then sfx1 again at 2000, cut off and restarted from its first sample.
  auto renderUntil = [&](std::size_t frame) {
    const auto more = manual.output->Render(frame - heard.size() / 2);
    heard.insert(heard.end(), more.begin(), more.end());
  };
  ASSERT_EQ(sound.PlayStatic(sfx1), 0);
  renderUntil(700);
  ASSERT_EQ(sound.PlayStatic(sfx2), 0);
  renderUntil(1333);
  ASSERT_EQ(sound.PlayStatic(sfx3), 0);
  renderUntil(2000);
  ASSERT_EQ(sound.PlayStatic(sfx1), 0);
  renderUntil(5500);

  // What each frame should hold: the sum of every effect sounding then.  The
  // first playing of sfx1 lasts only until its restart at frame 2000.
  auto expectedAt = [&](std::size_t frame) {
    int sum = 0;
    if (frame >= quietFrames && frame < 2000) sum += one[frame - quietFrames];
    if (frame >= 700 && frame - 700 < two.size()) sum += two[frame - 700];
    if (frame >= 1333 && frame - 1333 < three.size()) sum += three[frame - 1333];
    if (frame >= 2000 && frame - 2000 < one.size()) sum += one[frame - 2000];
    return sum;
  };

  ASSERT_EQ(heard.size(), 2u * 5500);
  int mismatches = 0;
  for (std::size_t frame = 0; frame < 5500 && mismatches < 5; ++frame) {
    const int want = expectedAt(frame);
    if (heard[2 * frame] != want || heard[2 * frame + 1] != want) {
      ++mismatches;
      ADD_FAILURE() << "frame " << frame << ": heard " << heard[2 * frame] << "/" << heard[2 * frame + 1]
                    << ", expected " << want;
    }
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_THAT(manual.boxes, IsEmpty());

  for (StaticSound* effect : {sfx1, sfx2, sfx3}) Unload(effect);
  sound.CloseDSound();
}

}  // namespace
}  // namespace velmo::testing
