// Starting the audio device on a window and shutting it down again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/sound/engine_fixture.h"
#include "velmo/platform/acm.h"
#include "velmo/platform/services.h"

namespace velmo::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using DeviceStartUp = EngineTest;
using DeviceShutdown = EngineTest;

TEST_F(DeviceStartUp, SucceedsInOrderOnThePriorityLevelOfTheOwnerWindow) {
  StreamLock.store(1);
  TimerActive = StreamPlaying = StreamOpen = 1;
  TimerId = 7;

  EXPECT_EQ(sound.InitDSound(window), 1);

  EXPECT_THAT(fake.CallNames(), ElementsAre("acmMetrics", "CoInitialize", "CoCreateInstance", "dsound.Initialize",
                                            "dsound.SetCooperativeLevel"));
  const std::vector<Call> calls = fake.Calls();
  EXPECT_EQ(calls[0].args[1], ACM_METRIC_MAX_SIZE_FORMAT);
  EXPECT_EQ(calls[2].args, (std::vector<std::int64_t>{1, 0, 1, 1})) << "DirectSound class, no outer, in-process";
  EXPECT_EQ(calls[3].args[0], 0) << "default device";
  EXPECT_EQ(fake.Device()->CooperativeWindow(), window);
  EXPECT_EQ(fake.Device()->CooperativeLevel(), DSSCL_PRIORITY);
  EXPECT_EQ(sound.OwnerWindow, window);
  EXPECT_EQ(DSoundReady, 1);
  EXPECT_EQ(DSoundObject, fake.Device());
  EXPECT_THAT(fake.MessageBoxes(), IsEmpty());
  EXPECT_EQ(StreamLock.load(), 0);
  EXPECT_EQ(TimerActive + StreamPlaying + StreamOpen + static_cast<LONG>(TimerId), 0);
}

TEST_F(DeviceStartUp, AMissingAudioSubsystemStopsBeforeCom) {
  fake.Fail("acmMetrics", MMSYSERR_NODRIVER);
  EXPECT_EQ(sound.InitDSound(window), 0);
  EXPECT_THAT(fake.CallNames(), ElementsAre("acmMetrics", "MessageBoxA"));
  ASSERT_EQ(fake.MessageBoxes().size(), 1u);
  EXPECT_EQ(fake.MessageBoxes()[0].text, "ACM Metrics failed, aborting");
  EXPECT_EQ(fake.MessageBoxes()[0].caption, "Velmo Sound ERROR!");
  EXPECT_EQ(fake.MessageBoxes()[0].style, MB_ICONERROR);
  EXPECT_EQ(fake.MessageBoxes()[0].owner, window);
  EXPECT_EQ(DSoundReady, 0);
}

TEST_F(DeviceStartUp, ComThatCannotStartIsReportedWithTheUpperCaseCaption) {
  fake.Fail("CoInitialize", E_FAIL);
  EXPECT_EQ(sound.InitDSound(window), 0);
  EXPECT_THAT(fake.CallNames(), ElementsAre("acmMetrics", "CoInitialize", "MessageBoxA"));
  EXPECT_EQ(fake.MessageBoxes()[0].text, "Failed to initialize COM library");
  EXPECT_EQ(fake.MessageBoxes()[0].caption, "Velmo Sound ERROR!");
  EXPECT_EQ(fake.MessageBoxes()[0].style, MB_ICONERROR);
  EXPECT_EQ(DSoundReady, 0);
}

TEST_F(DeviceStartUp, ComAlreadyStartedOnTheThreadCountsAsStarted) {
  // COM already started on this thread: the library's own CoInitialize
  // then answers S_FALSE, which is a success.
  fake.CoInitialize(nullptr);
  EXPECT_EQ(sound.InitDSound(window), 1);
  EXPECT_THAT(fake.MessageBoxes(), IsEmpty());
}

TEST_F(DeviceStartUp, ARefusedCreationIsReportedAndComEnded) {
  fake.Fail("CoCreateInstance", REGDB_E_CLASSNOTREG);
  EXPECT_EQ(sound.InitDSound(window), 0);
  EXPECT_THAT(fake.CallNames(), ElementsAre("acmMetrics", "CoInitialize", "CoCreateInstance", "MessageBoxA",
                                            "CoUninitialize"));
  EXPECT_EQ(fake.MessageBoxes()[0].text, "Failed to create DirectSound COM object");
  EXPECT_EQ(fake.MessageBoxes()[0].caption, "Velmo Sound Error!");
  EXPECT_EQ(fake.MessageBoxes()[0].style, MB_ICONERROR);
  EXPECT_EQ(DSoundReady, 0);
  EXPECT_EQ(DSoundObject, nullptr);
  EXPECT_EQ(fake.ComInitCount(), 0);
}

TEST_F(DeviceStartUp, AnOutputThatCannotOpenFailsLikeARefusedCreation) {
  fake.Fail("Initialize", DSERR_NODRIVER);
  EXPECT_EQ(sound.InitDSound(window), 0);
  EXPECT_THAT(fake.CallNames(), ElementsAre("acmMetrics", "CoInitialize", "CoCreateInstance", "dsound.Initialize",
                                            "dsound.Release", "MessageBoxA", "CoUninitialize"));
  EXPECT_EQ(fake.MessageBoxes()[0].text, "Failed to create DirectSound COM object");
  EXPECT_EQ(fake.MessageBoxes()[0].caption, "Velmo Sound Error!");
  EXPECT_TRUE(fake.Device()->Released());
  EXPECT_EQ(DSoundObject, nullptr);
  EXPECT_EQ(DSoundReady, 0);
}

TEST_F(DeviceStartUp, ARefusedCooperativeLevelFailsSilently) {
  fake.Fail("SetCooperativeLevel", DSERR_PRIOLEVELNEEDED);
  EXPECT_EQ(sound.InitDSound(window), 0);
  EXPECT_THAT(fake.CallNames(), ElementsAre("acmMetrics", "CoInitialize", "CoCreateInstance", "dsound.Initialize",
                                            "dsound.SetCooperativeLevel", "dsound.Release", "CoUninitialize"));
  EXPECT_THAT(fake.MessageBoxes(), IsEmpty());
  EXPECT_TRUE(fake.Device()->Released());
  EXPECT_EQ(DSoundObject, nullptr);
  EXPECT_EQ(DSoundReady, 0);
}

TEST_F(DeviceShutdown, DoesNothingWhenTheEngineIsNotReady) {
  fake.Fail("acmMetrics", 1);
  sound.InitDSound(window);
  fake.ClearCalls();
  sound.CloseDSound();
  EXPECT_THAT(fake.CallNames(), IsEmpty());
}

TEST_F(DeviceShutdown, ReleasesTheDeviceAndEndsComButStaysReady) {
  StartEngine();
  sound.CloseDSound();
  EXPECT_THAT(fake.CallNames(), ElementsAre("dsound.Release", "CoUninitialize"));
  EXPECT_TRUE(fake.Device()->Released());
  EXPECT_EQ(fake.ComInitCount(), 0);
  EXPECT_EQ(DSoundObject, nullptr);
  EXPECT_EQ(DSoundReady, 1);

  // The engine stays "ready" with no device: creating a buffer now must be
  // refused cleanly, not reach through the null device.
  WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
  DSBUFFERDESC desc{sizeof(DSBUFFERDESC), 0, 16, 0, &format};
  IDirectSoundBuffer* buffer = reinterpret_cast<IDirectSoundBuffer*>(0x1);
  EXPECT_EQ(CreateDeviceBuffer(&desc, &buffer), DSERR_UNINITIALIZED);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(fake.UseAfterRelease(), 0);
}

TEST_F(DeviceShutdown, AfterAFailedStartUpAndAgainAfterShutdownIsHarmless) {
  StartEngine();
  sound.CloseDSound();
  fake.ClearCalls();
  sound.CloseDSound();
  EXPECT_THAT(fake.CallNamesContaining("dsound"), IsEmpty());
  EXPECT_EQ(fake.UseAfterRelease(), 0);
}

}  // namespace
}  // namespace velmo::testing
