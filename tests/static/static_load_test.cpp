// Loading static sounds: the ready rule, the PCM test, the record and its
// buffer, and what every failing step shows and leaves behind.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <cstring>
#include <filesystem>

#include "tests/static/static_fixture.h"
#include "velmo/platform/services.h"

namespace velmo::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

void ExpectBox(const MessageBoxRecord& box, HWND owner, const char* text, const char* caption, UINT style) {
  EXPECT_EQ(box.owner, owner);
  EXPECT_EQ(box.text, text);
  EXPECT_EQ(box.caption, caption);
  EXPECT_EQ(box.style, style);
}

// --- The ready rule -------------------------------------------------------

using StaticNotReady = StaticSoundTest;

TEST_F(StaticNotReady, EveryOperationDoesNothingUntilTheDeviceIsReady) {
  const std::string name = WritePcm("a.wav", Pattern(64));
  for (LONG ready : {0, 2, -1}) {
    SCOPED_TRACE(ready);
    DSoundReady = ready;
    EXPECT_EQ(sound.LoadStatic(name.c_str()), nullptr);
  }
  EXPECT_THAT(fake.CallNames(), IsEmpty());
  EXPECT_THAT(fake.MessageBoxes(), IsEmpty());
  EXPECT_THAT(fake.OpenedFileNames(), IsEmpty()) << "no file access before the device is ready";
  EXPECT_EQ(fake.Allocations(), 0);
}

TEST_F(StaticNotReady, ALoadedRecordIsLeftAloneOnceTheEngineIsNoLongerReady) {
  StaticSound* effect = StartAndLoad(Pattern(64));
  ASSERT_NE(effect, nullptr);
  ASSERT_EQ(sound.PlayStatic(effect), 0);
  fake.ClearCalls();

  DSoundReady = 0;
  effect->VolumeSetting = 0;
  EXPECT_EQ(sound.StopStatic(effect), 0);
  EXPECT_EQ(sound.PlayStatic(effect), 0);
  EXPECT_EQ(sound.ApplyVolume(effect), 0);
  EXPECT_EQ(sound.ApplyPan(effect), 0);
  EXPECT_EQ(sound.ApplyFrequency(effect), 0);
  EXPECT_THAT(fake.CallNames(), IsEmpty());
  EXPECT_THAT(fake.MessageBoxes(), IsEmpty());
  EXPECT_EQ(effect->Playing, 1u) << "the stop that was not made must not show as made";
  EXPECT_EQ(fake.LastBuffer()->Volume(), 0);
}

// --- A successful load ------------------------------------------------------

using StaticLoad = StaticSoundTest;

TEST_F(StaticLoad, CopiesTheSamplesIntoAStaticBufferAtTheFilesOwnRate) {
  const Bytes samples = Pattern(1000, 7);
  StartEngine();
  const std::string name = WritePcm("sfx1.wav", samples, 11025);

  StaticSound* effect = sound.LoadStatic(name.c_str());

  ASSERT_NE(effect, nullptr);
  EXPECT_THAT(fake.MessageBoxes(), IsEmpty());
  ASSERT_EQ(fake.Buffers().size(), 1u);
  FakeSoundBuffer* buffer = fake.LastBuffer();
  EXPECT_EQ(effect->SoundBuffer, buffer);
  EXPECT_THAT(buffer->Data(), ElementsAreArray(samples));
  EXPECT_EQ(buffer->Volume(), 0);
  EXPECT_EQ(buffer->Pan(), 0);
  EXPECT_EQ(buffer->Frequency(), 11025u);
  EXPECT_FALSE(buffer->Playing());
  EXPECT_EQ(buffer->Position(), 0u);
  EXPECT_FALSE(buffer->Locked());

  EXPECT_EQ(effect->WaveSize, samples.size());
  ASSERT_NE(effect->WaveData, nullptr);
  EXPECT_EQ(std::memcmp(effect->WaveData, samples.data(), samples.size()), 0);
  ASSERT_NE(effect->WaveFormat, nullptr);
  EXPECT_EQ(effect->WaveFormat->wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(effect->Frequency, 11025u);
  EXPECT_EQ(effect->VolumeSetting, 400);
  EXPECT_EQ(effect->PanSetting, 400);
  EXPECT_EQ(effect->Looping, 0u);
  EXPECT_EQ(effect->Playing, 0u);
  EXPECT_EQ(effect->InHardware, 0u);
  EXPECT_STREQ(effect->FileName, name.c_str());

  // The buffer is created in the file's own format, byte for byte.
  ASSERT_EQ(buffer->FormatBytes().size(), sizeof(WAVEFORMATEX));
  EXPECT_EQ(std::memcmp(buffer->FormatBytes().data(), effect->WaveFormat, sizeof(WAVEFORMATEX)), 0);

  // The record, its samples and its format are the only blocks kept, and the
  // file was opened twice (PCM test, then the whole read) and closed both times.
  EXPECT_EQ(fake.LiveBlocks(), 3u);
  EXPECT_THAT(fake.OpenedFileNames(), ElementsAre(name, name));
  EXPECT_EQ(fake.OpenFiles(), 0);
}

TEST_F(StaticLoad, DescribesLocksOnceSetsNeutralControlsAndThenAppliesTheSettings) {
  StartEngine();
  const std::string name = WritePcm("sfx1.wav", Pattern(480), 22050);
  ASSERT_NE(sound.LoadStatic(name.c_str()), nullptr);

  const std::vector<Call> calls = fake.Calls();
  std::vector<std::string> device;
  for (const Call& call : calls) device.push_back(call.Format());
  EXPECT_THAT(device, ElementsAre(
                          // size, flags, length, reserved, no outer object
                          "dsound.CreateSoundBuffer(" + std::to_string(sizeof(DSBUFFERDESC)) + ", " +
                              std::to_string(0x100E2) + ", 480, 0, 0)",
                          "buffer1.Lock(0, 480, 0)", "buffer1.Unlock(480, 0)", "buffer1.SetVolume(0)",
                          "buffer1.SetPan(0)", "buffer1.GetCaps(20)", "buffer1.SetVolume(0)",
                          "buffer1.SetFrequency(22050)", "buffer1.SetPan(0)"));
}

TEST_F(StaticLoad, TakesInHardwareFromTheBuffersCapabilities) {
  StartEngine();
  fake.CreateHardwareBuffers(true);
  StaticSound* hardware = sound.LoadStatic(WritePcm("hw.wav", Pattern(64)).c_str());
  fake.CreateHardwareBuffers(false);
  StaticSound* software = sound.LoadStatic(WritePcm("sw.wav", Pattern(64)).c_str());
  ASSERT_NE(hardware, nullptr);
  ASSERT_NE(software, nullptr);
  EXPECT_EQ(hardware->InHardware, 1u);
  EXPECT_EQ(software->InHardware, 0u);
}

TEST_F(StaticLoad, SettingsTheDeviceRefusesAreIgnoredAndLeaveTheBufferAsCreated) {
  StartEngine();
  // The creation's own SetVolume and SetPan go through; the apply calls fail.
  fake.Fail("SetVolume", DSERR_GENERIC, 1, 1);
  fake.Fail("SetPan", DSERR_GENERIC, 1, 1);
  fake.Fail("SetFrequency", DSERR_CONTROLUNAVAIL);
  StaticSound* effect = sound.LoadStatic(WritePcm("a.wav", Pattern(64), 8000).c_str());
  ASSERT_NE(effect, nullptr);
  EXPECT_THAT(fake.MessageBoxes(), IsEmpty());
  EXPECT_EQ(fake.LastBuffer()->Volume(), 0);
  EXPECT_EQ(fake.LastBuffer()->Pan(), 0);
  EXPECT_EQ(fake.LastBuffer()->Frequency(), 8000u);
  EXPECT_EQ(effect->VolumeSetting, 400);
}

TEST_F(StaticLoad, ALongFileNameIsCutShortInTheRecordButOpenedWhole) {
  // Nested directories give a path well past the 259 characters kept.
  std::filesystem::path relative;
  while ((dir.Path() / relative).string().size() < 300) relative /= std::string(40, 'd');
  std::filesystem::create_directories(dir.Path() / relative);
  const std::string name = WritePcm((relative / "long.wav").string(), Pattern(64));
  ASSERT_GT(name.size(), 259u);
  StartEngine();

  StaticSound* effect = sound.LoadStatic(name.c_str());

  ASSERT_NE(effect, nullptr);
  EXPECT_EQ(std::string(effect->FileName), name.substr(0, 259));
  EXPECT_EQ(effect->FileName[259], '\0');
  EXPECT_THAT(fake.OpenedFileNames(), ElementsAre(name, name));
}

TEST_F(StaticLoad, AnAcceptedFormatOtherThanPcmWarnsAndStillLoads) {
  StartEngine();
  const Bytes samples = Pattern(64);
  StaticSound* effect = sound.LoadStatic(WriteTagged("float.wav", WAVE_FORMAT_IEEE_FLOAT, samples).c_str());
  ASSERT_EQ(fake.MessageBoxes().size(), 1u);
  ExpectBox(fake.MessageBoxes()[0], window, "Wave files must be PCM format!", "Velmo Sound Error!", MB_ICONERROR);
  ASSERT_NE(effect, nullptr) << "the PCM test only warns";
  EXPECT_THAT(fake.LastBuffer()->Data(), ElementsAreArray(samples));
  EXPECT_EQ(fake.OpenFiles(), 0);
}

// --- Failed loads -----------------------------------------------------------

using StaticLoadFailure = StaticSoundTest;

TEST_F(StaticLoadFailure, AMissingFileShowsTheTwoBoxesInOrderAndKeepsNothing) {
  StartEngine();
  const std::string name = (dir.Path() / "nothing-here.wav").string();

  EXPECT_EQ(sound.LoadStatic(name.c_str()), nullptr);

  ASSERT_EQ(fake.MessageBoxes().size(), 2u);
  ExpectBox(fake.MessageBoxes()[0], window, "Wave files must be PCM format!", "Velmo Sound Error!", MB_ICONERROR);
  ExpectBox(fake.MessageBoxes()[1], window, "Bad wave file or file too big to fit in memory", "Cannot load wave",
            MB_ICONERROR);
  EXPECT_THAT(fake.CallNames(), ElementsAre("MessageBoxA", "MessageBoxA")) << "no device call";
  EXPECT_EQ(fake.LiveBlocks(), 0u);
  EXPECT_EQ(fake.OpenFiles(), 0);
}

TEST_F(StaticLoadFailure, AFormatTheDeviceRefusesEndsWithCannotCreateNewBuffer) {
  StartEngine();
  EXPECT_EQ(sound.LoadStatic(WriteTagged("adpcm.wav", WAVE_FORMAT_ADPCM, Pattern(64)).c_str()), nullptr);
  ASSERT_EQ(fake.MessageBoxes().size(), 2u);
  ExpectBox(fake.MessageBoxes()[0], window, "Wave files must be PCM format!", "Velmo Sound Error!", MB_ICONERROR);
  ExpectBox(fake.MessageBoxes()[1], window, "Cannot create new buffer", "Velmo Sound Error!", MB_ICONERROR);
  EXPECT_EQ(fake.LiveBlocks(), 0u);
  EXPECT_EQ(fake.OpenFiles(), 0);
  EXPECT_THAT(fake.Buffers(), IsEmpty());
}

TEST_F(StaticLoadFailure, ADamagedFileWarnsThenCannotLoad) {
  StartEngine();
  const std::string name = dir.Write("junk.wav", Bytes{'R', 'I', 'F', 'X', 4, 0, 0, 0, 'W', 'A', 'V', 'E'});
  EXPECT_EQ(sound.LoadStatic(name.c_str()), nullptr);
  ASSERT_EQ(fake.MessageBoxes().size(), 2u);
  EXPECT_EQ(fake.MessageBoxes()[0].text, "Wave files must be PCM format!");
  EXPECT_EQ(fake.MessageBoxes()[1].text, "Bad wave file or file too big to fit in memory");
  EXPECT_EQ(fake.LiveBlocks(), 0u);
  EXPECT_EQ(fake.OpenFiles(), 0);
}

TEST_F(StaticLoadFailure, AnEmptyDataChunkGetsNoBuffer) {
  StartEngine();
  EXPECT_EQ(sound.LoadStatic(WritePcm("empty.wav", {}).c_str()), nullptr);
  ASSERT_EQ(fake.MessageBoxes().size(), 1u);
  ExpectBox(fake.MessageBoxes()[0], window, "Cannot create new buffer", "Velmo Sound Error!", MB_ICONERROR);
  EXPECT_EQ(fake.LiveBlocks(), 0u);
  EXPECT_EQ(fake.OpenFiles(), 0);
}

TEST_F(StaticLoadFailure, NoBlockForTheRecordShowsOutOfMemoryBeforeTheFileIsRead) {
  StartEngine();
  const std::string name = WritePcm("a.wav", Pattern(64));
  // The PCM test's format block comes first; the record's block is the second.
  fake.Fail("GlobalAlloc", 0, 1, 1);
  EXPECT_EQ(sound.LoadStatic(name.c_str()), nullptr);
  ASSERT_EQ(fake.MessageBoxes().size(), 1u);
  ExpectBox(fake.MessageBoxes()[0], window, "Cannot Allocate Memory to this file", "Out of Memory", MB_ICONERROR);
  EXPECT_THAT(fake.OpenedFileNames(), ElementsAre(name)) << "only the PCM test opened the file";
  EXPECT_EQ(fake.LiveBlocks(), 0u);
  EXPECT_EQ(fake.OpenFiles(), 0);
}

TEST_F(StaticLoadFailure, NoBlockForTheFormatOrTheSamplesIsABadWaveAndFreesTheRecord) {
  StartEngine();
  const std::string name = WritePcm("a.wav", Pattern(64));
  for (int skip : {2, 3}) {  // the whole read's format block, then its sample block
    SCOPED_TRACE(skip);
    fake.ClearFailures();
    fake.Fail("GlobalAlloc", 0, 1, skip);
    const std::size_t boxes = fake.MessageBoxes().size();
    EXPECT_EQ(sound.LoadStatic(name.c_str()), nullptr);
    ASSERT_EQ(fake.MessageBoxes().size(), boxes + 1);
    ExpectBox(fake.MessageBoxes().back(), window, "Bad wave file or file too big to fit in memory",
              "Cannot load wave", MB_ICONERROR);
    EXPECT_EQ(fake.LiveBlocks(), 0u);
    EXPECT_EQ(fake.OpenFiles(), 0);
  }
  EXPECT_THAT(fake.Buffers(), IsEmpty());
}

TEST_F(StaticLoadFailure, AfterShutdownTheDeviceIsGoneAndABufferIsRefusedCleanly) {
  StartEngine();
  sound.CloseDSound();
  ASSERT_EQ(DSoundReady, 1) << "shutdown does not clear the ready flag";
  EXPECT_EQ(sound.LoadStatic(WritePcm("late.wav", Pattern(64)).c_str()), nullptr);
  ASSERT_EQ(fake.MessageBoxes().size(), 1u);
  EXPECT_EQ(fake.MessageBoxes()[0].text, "Cannot create new buffer");
  EXPECT_EQ(fake.UseAfterRelease(), 0);
  EXPECT_EQ(fake.LiveBlocks(), 0u);
}

// --- Creating the buffer: every step that can fail ---------------------------

struct FailingStep {
  const char* call;       // the call made to fail
  int skip;               // calls of that name let through first
  bool retriesUnlock;     // whether a second Unlock is due
};

void PrintTo(const FailingStep& step, std::ostream* os) {
  *os << step.call;
  if (step.skip > 0) *os << " (after " << step.skip << " that succeed)";
  if (step.retriesUnlock) *os << ", Unlock tried again";
}

class StaticBufferFailure : public StaticSoundTest, public ::testing::WithParamInterface<FailingStep> {};

TEST_P(StaticBufferFailure, ReturnsTheStepsStatusReleasesTheBufferAndLoadFreesEverything) {
  const FailingStep step = GetParam();
  const HRESULT status = DSERR_OUTOFMEMORY;
  StartEngine();
  const std::string name = WritePcm("a.wav", Pattern(256));
  fake.Fail(step.call, status, 1, step.skip);

  EXPECT_EQ(sound.LoadStatic(name.c_str()), nullptr);

  ASSERT_EQ(fake.MessageBoxes().size(), 1u);
  ExpectBox(fake.MessageBoxes()[0], window, "Cannot create new buffer", "Velmo Sound Error!", MB_ICONERROR);
  EXPECT_EQ(fake.LiveBlocks(), 0u);
  EXPECT_EQ(fake.OpenFiles(), 0);
  if (std::string(step.call) == "CreateSoundBuffer") {
    EXPECT_THAT(fake.Buffers(), IsEmpty());
    return;
  }
  ASSERT_EQ(fake.Buffers().size(), 1u);
  FakeSoundBuffer* buffer = fake.LastBuffer();
  EXPECT_TRUE(buffer->Released());
  EXPECT_FALSE(buffer->Locked()) << "the area must not stay locked";
  const std::vector<std::string> calls = fake.CallNamesContaining("buffer1.");
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "buffer1.Unlock"),
            step.retriesUnlock ? 2 : (std::string(step.call) == "Lock" ? 0 : 1));
  EXPECT_EQ(calls.back(), "buffer1.Release");
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "buffer1.Release"), 1);
}

TEST_P(StaticBufferFailure, CreateStaticBufferReportsTheFailingStatusWithNoBufferLeft) {
  const FailingStep step = GetParam();
  const HRESULT status = DSERR_INVALIDCALL;
  StartEngine();
  // A record as LoadStatic has it before the buffer: samples and format set.
  Bytes samples = Pattern(128);
  WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 22050, 22050, 1, 8, 0};
  StaticSound record{};
  record.WaveData = samples.data();
  record.WaveSize = static_cast<DWORD>(samples.size());
  record.WaveFormat = &format;
  fake.Fail(step.call, status, 1, step.skip);

  EXPECT_EQ(sound.CreateStaticBuffer(&record), status);
  EXPECT_EQ(record.SoundBuffer, nullptr);
  EXPECT_THAT(fake.MessageBoxes(), IsEmpty()) << "the caller shows the message";
}

INSTANTIATE_TEST_SUITE_P(EachStep, StaticBufferFailure,
                         ::testing::Values(FailingStep{"CreateSoundBuffer", 0, false}, FailingStep{"Lock", 0, false},
                                           FailingStep{"Unlock", 0, true}, FailingStep{"SetVolume", 0, false},
                                           FailingStep{"SetPan", 0, false}, FailingStep{"GetCaps", 0, false}),
                         [](const auto& info) { return std::string(info.param.call); });

// --- The PCM test -------------------------------------------------------------

using StaticPcmTest = StaticSoundTest;

TEST_F(StaticPcmTest, AnswersFromTheFormatTagAndLeavesNothingOpen) {
  // It does not depend on the device: the engine is not even started here.
  EXPECT_EQ(sound.IsPCMWave(WritePcm("pcm.wav", Pattern(16)).c_str()), 1);
  EXPECT_EQ(sound.IsPCMWave(WriteTagged("adpcm.wav", WAVE_FORMAT_ADPCM, Pattern(16)).c_str()), 0);
  EXPECT_EQ(sound.IsPCMWave(WriteTagged("float.wav", WAVE_FORMAT_IEEE_FLOAT, Pattern(16)).c_str()), 0);
  EXPECT_EQ(sound.IsPCMWave((dir.Path() / "missing.wav").c_str()), 0);
  EXPECT_EQ(sound.IsPCMWave(nullptr), 0);
  EXPECT_THAT(fake.MessageBoxes(), IsEmpty());
  EXPECT_EQ(fake.OpenFiles(), 0);
  EXPECT_EQ(fake.LiveBlocks(), 0u);
}

}  // namespace
}  // namespace velmo::testing
