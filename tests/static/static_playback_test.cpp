// Playing and stopping static sounds, and pushing their settings to the
// device.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <climits>

#include "tests/static/static_fixture.h"
#include "velmo/platform/services.h"

namespace velmo::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

Bytes Concat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  Append(out, b);
  return out;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

// --- Starting -----------------------------------------------------------------

using StaticPlay = StaticSoundTest;

TEST_F(StaticPlay, AFirstPlayRewindsAndStartsWithThreeDeviceCallsAndNoAllocation) {
  StaticSound* effect = StartAndLoad(Pattern(400));
  ASSERT_NE(effect, nullptr);
  const int allocations = fake.Allocations();

  EXPECT_EQ(sound.PlayStatic(effect), 0);

  std::vector<std::string> calls;
  for (const Call& call : fake.Calls()) calls.push_back(call.Format());
  EXPECT_THAT(calls, ElementsAre("buffer1.GetStatus()", "buffer1.SetCurrentPosition(0)", "buffer1.Play(0, 0, 0)"));
  EXPECT_EQ(effect->Playing, 1u);
  EXPECT_TRUE(fake.LastBuffer()->Playing());
  EXPECT_FALSE(fake.LastBuffer()->Looping());
  EXPECT_EQ(fake.Allocations(), allocations);
  EXPECT_THAT(fake.MessageBoxes(), IsEmpty());
}

TEST_F(StaticPlay, PlayingAgainWhileSoundingRestartsFromTheFirstSample) {
  const Bytes samples = Pattern(400, 3);
  StaticSound* effect = StartAndLoad(samples);
  FakeSoundBuffer* buffer = fake.LastBuffer();
  buffer->RecordConsumption(true);
  ASSERT_EQ(sound.PlayStatic(effect), 0);
  buffer->Advance(150);
  fake.ClearCalls();

  EXPECT_EQ(sound.PlayStatic(effect), 0);

  EXPECT_THAT(fake.CallNames(), ElementsAre("buffer1.Stop", "buffer1.GetStatus", "buffer1.SetCurrentPosition",
                                            "buffer1.Play"));
  EXPECT_EQ(effect->Playing, 1u);
  buffer->Advance(400);
  EXPECT_THAT(buffer->Consumed(), ElementsAreArray(Concat(Slice(samples, 0, 150), samples)));
  EXPECT_FALSE(buffer->Playing()) << "a one-shot stops at its end";
}

TEST_F(StaticPlay, AfterAOneShotHasEndedPlayStopsTheSilentBufferThenPlaysFromTheStart) {
  const Bytes samples = Pattern(200);
  StaticSound* effect = StartAndLoad(samples);
  FakeSoundBuffer* buffer = fake.LastBuffer();
  ASSERT_EQ(sound.PlayStatic(effect), 0);
  buffer->Advance(200);
  ASSERT_FALSE(buffer->Playing());
  EXPECT_EQ(effect->Playing, 1u) << "reaching the end is not noticed by the record";
  fake.ClearCalls();
  buffer->RecordConsumption(true);

  EXPECT_EQ(sound.PlayStatic(effect), 0);

  EXPECT_THAT(fake.CallNames(), ElementsAre("buffer1.Stop", "buffer1.GetStatus", "buffer1.SetCurrentPosition",
                                            "buffer1.Play"));
  buffer->Advance(200);
  EXPECT_THAT(buffer->Consumed(), ElementsAreArray(samples));
}

TEST_F(StaticPlay, LoopingPlaysWithTheLoopingFlagAndRepeatsUntilStopped) {
  const Bytes samples = Pattern(100);
  StaticSound* effect = StartAndLoad(samples);
  FakeSoundBuffer* buffer = fake.LastBuffer();
  buffer->RecordConsumption(true);
  effect->Looping = 1;

  ASSERT_EQ(sound.PlayStatic(effect), 0);
  EXPECT_EQ(fake.Calls().back().Format(), "buffer1.Play(0, 0, 1)");
  buffer->Advance(250);
  EXPECT_TRUE(buffer->Playing());
  EXPECT_THAT(buffer->Consumed(), ElementsAreArray(Concat(Concat(samples, samples), Slice(samples, 0, 50))));

  EXPECT_EQ(sound.StopStatic(effect), 1);
  EXPECT_FALSE(buffer->Playing());
}

TEST_F(StaticPlay, AFailedStatusQueryCountsAsNotPlaying) {
  StaticSound* effect = StartAndLoad(Pattern(100));
  fake.Fail("buffer1.GetStatus", DSERR_GENERIC);
  EXPECT_EQ(sound.PlayStatic(effect), 0);
  EXPECT_THAT(fake.CallNames(), ElementsAre("buffer1.GetStatus", "buffer1.SetCurrentPosition", "buffer1.Play"));
  EXPECT_EQ(effect->Playing, 1u);
}

TEST_F(StaticPlay, AFailedRewindStillStartsTheSound) {
  StaticSound* effect = StartAndLoad(Pattern(100));
  fake.Fail("buffer1.SetCurrentPosition", DSERR_INVALIDPARAM);
  EXPECT_EQ(sound.PlayStatic(effect), 0);
  EXPECT_TRUE(fake.LastBuffer()->Playing());
  EXPECT_EQ(effect->Playing, 1u);
  EXPECT_THAT(fake.MessageBoxes(), IsEmpty());
}

TEST_F(StaticPlay, ABufferAlreadyPlayingBehindTheRecordIsLeftUntouched) {
  StaticSound* effect = StartAndLoad(Pattern(100));
  FakeSoundBuffer* buffer = fake.LastBuffer();
  ASSERT_EQ(buffer->Play(0, 0, 0), DS_OK);
  buffer->Advance(30);
  fake.ClearCalls();

  EXPECT_EQ(sound.PlayStatic(effect), 0);

  EXPECT_THAT(fake.CallNames(), ElementsAre("buffer1.GetStatus"));
  EXPECT_EQ(buffer->Position(), 30u) << "no rewind";
  EXPECT_EQ(effect->Playing, 0u);
}

TEST_F(StaticPlay, AFailingPlayShowsAPlainBoxReturnsItsStatusAndLeavesPlayingAsItWas) {
  StaticSound* effect = StartAndLoad(Pattern(100));
  fake.Fail("buffer1.Play", DSERR_BUFFERLOST);

  EXPECT_EQ(sound.PlayStatic(effect), DSERR_BUFFERLOST);

  ASSERT_EQ(fake.MessageBoxes().size(), 1u);
  const MessageBoxRecord& box = fake.MessageBoxes()[0];
  EXPECT_EQ(box.owner, window);
  EXPECT_EQ(box.text, "Cannot start playing");
  EXPECT_EQ(box.caption, "Velmo Sound Error");
  EXPECT_EQ(box.style, MB_OK);
  EXPECT_EQ(effect->Playing, 0u);
}

TEST_F(StaticPlay, WithoutARecordNothingHappens) {
  StartEngine();
  EXPECT_EQ(sound.PlayStatic(nullptr), 0);
  EXPECT_EQ(sound.StopStatic(nullptr), 0);
  EXPECT_EQ(sound.ApplyVolume(nullptr), 0);
  sound.ReleaseStaticBuffer(nullptr);
  EXPECT_THAT(fake.CallNames(), IsEmpty());
  EXPECT_THAT(fake.MessageBoxes(), IsEmpty());
}

// --- Stopping -----------------------------------------------------------------

using StaticStop = StaticSoundTest;

TEST_F(StaticStop, ARecordNeverPlayedMakesNoDeviceCall) {
  StaticSound* effect = StartAndLoad(Pattern(100));
  EXPECT_EQ(sound.StopStatic(effect), 0);
  EXPECT_THAT(fake.CallNames(), IsEmpty());
}

TEST_F(StaticStop, StopsWhereItIsAndTheNextPlayStartsFromTheBeginning) {
  const Bytes samples = Pattern(300, 11);
  StaticSound* effect = StartAndLoad(samples);
  FakeSoundBuffer* buffer = fake.LastBuffer();
  ASSERT_EQ(sound.PlayStatic(effect), 0);
  buffer->Advance(120);
  fake.ClearCalls();

  EXPECT_EQ(sound.StopStatic(effect), 1);
  EXPECT_THAT(fake.CallNames(), ElementsAre("buffer1.Stop"));
  EXPECT_EQ(effect->Playing, 0u);
  EXPECT_FALSE(buffer->Playing());
  EXPECT_EQ(buffer->Position(), 120u) << "stopping does not rewind";
  EXPECT_EQ(sound.StopStatic(effect), 0) << "already stopped";

  buffer->RecordConsumption(true);
  ASSERT_EQ(sound.PlayStatic(effect), 0);
  buffer->Advance(300);
  EXPECT_THAT(buffer->Consumed(), ElementsAreArray(samples));
}

TEST_F(StaticStop, AFailingStopShowsAPlainBoxAndKeepsPlaying) {
  StaticSound* effect = StartAndLoad(Pattern(100));
  FakeSoundBuffer* buffer = fake.LastBuffer();
  ASSERT_EQ(sound.PlayStatic(effect), 0);
  buffer->Advance(40);
  fake.Fail("buffer1.Stop", DSERR_GENERIC);

  EXPECT_EQ(sound.StopStatic(effect), 0);
  ASSERT_EQ(fake.MessageBoxes().size(), 1u);
  EXPECT_EQ(fake.MessageBoxes()[0].owner, window);
  EXPECT_EQ(fake.MessageBoxes()[0].text, "Cannot stop sound");
  EXPECT_EQ(fake.MessageBoxes()[0].caption, "Velmo Sound Error");
  EXPECT_EQ(fake.MessageBoxes()[0].style, MB_OK);
  EXPECT_EQ(effect->Playing, 1u);

  // Playing again: the stop fails once more and the sound, still playing,
  // is left to run on rather than being cut off.
  fake.ClearCalls();
  EXPECT_EQ(sound.PlayStatic(effect), 0);
  EXPECT_THAT(fake.CallNames(), ElementsAre("buffer1.Stop", "MessageBoxA", "buffer1.GetStatus"));
  EXPECT_EQ(fake.MessageBoxes().size(), 2u);
  EXPECT_EQ(buffer->Position(), 40u);
  EXPECT_EQ(effect->Playing, 1u);
}

// --- Several sounds -------------------------------------------------------------

using StaticSounds = StaticSoundTest;

TEST_F(StaticSounds, ThreeSoundsHoldThreeIndependentBuffers) {
  StartEngine();
  const Bytes one = Pattern(100, 1), two = Pattern(120, 2), three = Pattern(140, 3);
  StaticSound* sfx1 = sound.LoadStatic(WritePcm("sfx1.wav", one).c_str());
  StaticSound* sfx2 = sound.LoadStatic(WritePcm("sfx2.wav", two).c_str());
  StaticSound* sfx3 = sound.LoadStatic(WritePcm("sfx3.wav", three).c_str());
  ASSERT_TRUE(sfx1 && sfx2 && sfx3);
  ASSERT_EQ(fake.Buffers().size(), 3u);
  EXPECT_THAT(fake.Buffer(0)->Data(), ElementsAreArray(one));
  EXPECT_THAT(fake.Buffer(1)->Data(), ElementsAreArray(two));
  EXPECT_THAT(fake.Buffer(2)->Data(), ElementsAreArray(three));
  fake.ClearCalls();

  ASSERT_EQ(sound.PlayStatic(sfx1), 0);
  ASSERT_EQ(sound.PlayStatic(sfx2), 0);
  fake.Buffer(0)->Advance(10);
  ASSERT_EQ(sound.PlayStatic(sfx3), 0);
  ASSERT_EQ(sound.StopStatic(sfx2), 1);

  EXPECT_TRUE(fake.Buffer(0)->Playing());
  EXPECT_EQ(fake.Buffer(0)->Position(), 10u);
  EXPECT_FALSE(fake.Buffer(1)->Playing());
  EXPECT_TRUE(fake.Buffer(2)->Playing());
  EXPECT_EQ(sfx1->Playing + sfx2->Playing + sfx3->Playing, 2u);
  EXPECT_THAT(fake.CallNamesContaining("buffer1."),
              ElementsAre("buffer1.GetStatus", "buffer1.SetCurrentPosition", "buffer1.Play"));
  EXPECT_THAT(fake.CallNamesContaining("buffer2.").back(), "buffer2.Stop");
}

// --- Settings ---------------------------------------------------------------------

using StaticSettings = StaticSoundTest;

TEST_F(StaticSettings, SettingsAreScaledAroundFourHundredInHundredthsOfADecibel) {
  StaticSound* effect = StartAndLoad(Pattern(100));
  FakeSoundBuffer* buffer = fake.LastBuffer();

  effect->VolumeSetting = 0;
  effect->PanSetting = 800;
  effect->Frequency = 11025;
  EXPECT_EQ(sound.ApplyVolume(effect), 1);
  EXPECT_EQ(sound.ApplyPan(effect), 1);
  EXPECT_EQ(sound.ApplyFrequency(effect), 1);
  EXPECT_EQ(buffer->Volume(), -4000);
  EXPECT_EQ(buffer->Pan(), 4000);
  EXPECT_EQ(buffer->Frequency(), 11025u);

  effect->PanSetting = 0;
  EXPECT_EQ(sound.ApplyPan(effect), 1);
  EXPECT_EQ(buffer->Pan(), -4000);
}

TEST_F(StaticSettings, AValueTheDeviceRefusesGivesZeroAndNoMessage) {
  StaticSound* effect = StartAndLoad(Pattern(100));
  FakeSoundBuffer* buffer = fake.LastBuffer();

  effect->VolumeSetting = 500;  // +1000: louder than full volume
  effect->PanSetting = INT_MAX;  // far beyond any pan, without overflowing
  effect->Frequency = 50;
  EXPECT_EQ(sound.ApplyVolume(effect), 0);
  EXPECT_EQ(sound.ApplyPan(effect), 0);
  EXPECT_EQ(sound.ApplyFrequency(effect), 0);
  EXPECT_EQ(buffer->Volume(), 0);
  EXPECT_EQ(buffer->Pan(), 0);
  EXPECT_EQ(buffer->Frequency(), 22050u);
  EXPECT_THAT(fake.MessageBoxes(), IsEmpty());

  effect->PanSetting = INT_MIN;
  EXPECT_EQ(sound.ApplyPan(effect), 0);
  EXPECT_EQ(fake.Calls().back().args[0], INT32_MIN) << "clamped, not wrapped";
}

}  // namespace
}  // namespace velmo::testing
