// Opening, starting, stopping and closing the stream, on the platform double.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include "tests/stream/stream_fixture.h"
#include "velmo/platform/services.h"

namespace velmo::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr DWORD kCd44Bytes = 211680;  // the buffer of a 44.1 kHz 16-bit stereo file

// --- Opening -------------------------------------------------------------

using StreamOpening = StreamTest;

TEST_F(StreamOpening, PrimesALoopingBufferWithTheFilesFirstSecondsAtPanFourThousand) {
  const Bytes data = Pattern(300000);
  const std::string file = PcmFile("bgm1.wav", data);
  StartEngine();

  EXPECT_EQ(sound.OpenStream(file.c_str()), 1);

  EXPECT_THAT(fake.CallNames(), ElementsAre("dsound.CreateSoundBuffer", "buffer1.Lock", "buffer1.Unlock",
                                            "buffer1.SetVolume", "buffer1.SetPan", "buffer1.SetFrequency"));
  const std::vector<Call> calls = fake.Calls();
  EXPECT_EQ(calls[0].args, (std::vector<std::int64_t>{sizeof(DSBUFFERDESC), 0x100E0, kCd44Bytes, 0, 0}));
  EXPECT_EQ(calls[1].args, (std::vector<std::int64_t>{0, kCd44Bytes, 0}));
  EXPECT_EQ(calls[2].args, (std::vector<std::int64_t>{kCd44Bytes, 0}));
  EXPECT_EQ(Buffer()->Volume(), 0);
  EXPECT_EQ(Buffer()->Pan(), 4000);
  EXPECT_EQ(Buffer()->Frequency(), 44100u);
  EXPECT_EQ(Buffer()->Data(), Slice(data, 0, kCd44Bytes));
  EXPECT_FALSE(Buffer()->Playing());

  // The device gets the file's own format block.
  const Bytes fields = FormatFields(1, 2, 44100, 16);
  EXPECT_EQ(Slice(Buffer()->FormatBytes(), 0, 16), fields);
  EXPECT_EQ(Buffer()->FormatBytes().size(), sizeof(WAVEFORMATEX));

  EXPECT_EQ(StreamOpen, 1);
  EXPECT_EQ(StreamPlaying, 0);
  EXPECT_EQ(StreamBuffer, Buffer());
  EXPECT_EQ(TimerBuffer, Buffer());
  EXPECT_EQ(RefillPosition, 0u);
  EXPECT_EQ(StreamHalting.load(), 0);
  EXPECT_EQ(StreamDataChunk.cksize, data.size() - kCd44Bytes) << "the read cursor stands after the buffer's bytes";
  EXPECT_EQ(fake.OpenFiles(), 1);
  EXPECT_THAT(fake.MessageBoxes(), IsEmpty());
}

struct SizeCase {
  std::uint16_t channels;
  std::uint32_t rate;
  std::uint16_t bits;
  DWORD bufferBytes;
};

void PrintTo(const SizeCase& c, std::ostream* os) {
  *os << c.channels << " ch " << c.rate << " Hz " << c.bits << "-bit, " << c.bufferBytes << "-byte buffer";
}

std::string SizeCaseName(const ::testing::TestParamInfo<SizeCase>& info) {
  const SizeCase& c = info.param;
  return (c.channels == 1 ? "Mono" : c.channels == 2 ? "Stereo" : std::to_string(c.channels) + "Ch") +
         std::to_string(c.bits) + "Bit" + std::to_string(c.rate) + "Hz";
}

class StreamBufferSize : public StreamTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(StreamBufferSize, IsOnePointTwoSecondsOfTheFilesBytes) {
  const SizeCase c = GetParam();
  StartEngine();
  const std::string file = PcmFile("bgm.wav", Pattern(40000), c.channels, c.rate, c.bits);
  ASSERT_EQ(sound.OpenStream(file.c_str()), 1);
  EXPECT_EQ(StreamBufferBytes, c.bufferBytes);
  EXPECT_EQ(Buffer()->Desc().dwBufferBytes, c.bufferBytes);
  EXPECT_EQ(Buffer()->Frequency(), c.rate);
}

INSTANTIATE_TEST_SUITE_P(Rates, StreamBufferSize,
                         ::testing::Values(SizeCase{2, 44100, 16, 211680}, SizeCase{1, 22050, 8, 26460},
                                           SizeCase{1, 11025, 8, 13230},
                                           // 8001 bytes a second: the quotient is truncated, and the
                                           // length is not rounded to whole frames.
                                           SizeCase{1, 8001, 8, 9601}),
                         SizeCaseName);

TEST_F(StreamOpening, RepeatsDataShorterThanTheBufferFromItsFirstByte) {
  const Bytes data = Pattern(1001, 7);
  StartEngine();
  ASSERT_EQ(sound.OpenStream(PcmFile("short.wav", data, 1, 11025, 8).c_str()), 1);
  EXPECT_EQ(Buffer()->Data(), Looped(data, 0, 13230));
  EXPECT_EQ(StreamDataChunk.cksize, data.size() - (13230 % data.size()));
}

TEST_F(StreamOpening, DoesNothingWhenTheEngineIsNotReady) {
  const std::string file = PcmFile("bgm1.wav", Pattern(4000));
  EXPECT_EQ(sound.OpenStream(file.c_str()), 0);
  sound.PlayStream();
  sound.StopStream();
  EXPECT_THAT(fake.CallNames(), IsEmpty());
  EXPECT_THAT(fake.OpenedFileNames(), IsEmpty());
  EXPECT_EQ(StreamOpen, 0);
}

// Every way the creation can fail: its result, and nothing left behind.
struct FailureCase {
  const char* name;
  LONG result;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name << " (result " << c.result << ")"; }

class StreamCreationFailure : public StreamTest, public ::testing::WithParamInterface<FailureCase> {
 protected:
  std::string Prepare() {
    const std::string which = GetParam().name;
    if (which == "missing") return (dir.Path() / "absent.wav").string();
    if (which == "not-riff") return dir.Write("text.wav", Bytes{'h', 'e', 'l', 'l', 'o'});
    if (which == "not-pcm") {
      Bytes fmt = FormatFields(3, 2, 44100, 32);
      PutWord(fmt, 0);  // no extra format bytes
      Bytes body = Chunk("fmt ", fmt);
      Append(body, Chunk("data", Pattern(1000)));
      return dir.Write("float.wav", Riff(body));
    }
    if (which == "no-data") {
      Bytes body = PcmFmt();
      Append(body, Chunk("LIST", Pattern(20)));
      return dir.Write("nodata.wav", Riff(body));
    }
    fake.Fail("CreateSoundBuffer", DSERR_OUTOFMEMORY);
    return PcmFile("refused.wav", Pattern(4000));
  }
};

TEST_P(StreamCreationFailure, ReturnsItsCodeAndLeavesNothingOpen) {
  StartEngine();
  const std::string file = Prepare();

  EXPECT_EQ(sound.CreateStreamBuffer(file.c_str()), GetParam().result);
  EXPECT_EQ(fake.OpenFiles(), 0);
  EXPECT_EQ(fake.LiveBlocks(), 0u);
  EXPECT_EQ(StreamFile, nullptr);
  EXPECT_EQ(StreamFormat, nullptr);
  EXPECT_EQ(StreamBuffer, nullptr);
  EXPECT_THAT(fake.CallNamesContaining("buffer"), IsEmpty());

  // Through OpenStream the failure is silent, and a later PlayStream finds
  // nothing to play.
  fake.ClearCalls();
  EXPECT_EQ(sound.OpenStream(file.c_str()), 0);
  EXPECT_EQ(StreamOpen, 0);
  EXPECT_EQ(fake.OpenFiles(), 0);
  EXPECT_EQ(fake.LiveBlocks(), 0u);
  sound.PlayStream();
  EXPECT_EQ(StreamPlaying, 0);
  EXPECT_EQ(TimerActive, 0);
  EXPECT_THAT(fake.CallNamesContaining("time"), IsEmpty());
  EXPECT_THAT(fake.MessageBoxes(), IsEmpty());
  EXPECT_THAT(fake.DebugLines(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Causes, StreamCreationFailure,
                         ::testing::Values(FailureCase{"missing", -100}, FailureCase{"not-riff", -100},
                                           FailureCase{"not-pcm", -101}, FailureCase{"no-data", -103},
                                           FailureCase{"refused", -102}),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

TEST_F(StreamOpening, AnEmptyDataChunkPrimesSilenceInsteadOfHanging) {
  StartEngine();
  ASSERT_EQ(sound.OpenStream(PcmFile("empty.wav", Bytes{}, 1, 11025, 8).c_str()), 1);
  EXPECT_EQ(Buffer()->Data(), Bytes(13230, 0x80));
}

TEST_F(StreamOpening, WhilePlayingStopsAndClosesTheOldStreamFirst) {
  const Bytes second = Pattern(50000, 99);
  const std::string other = PcmFile("bgm2.wav", second, 1, 22050, 8);
  OpenPlaying(PcmFile("bgm1.wav", Pattern(300000)));
  FakeSoundBuffer* old = Buffer();

  ASSERT_EQ(sound.OpenStream(other.c_str()), 1);

  EXPECT_THAT(fake.CallNames(),
              ElementsAre("timeKillEvent", "timeEndPeriod", "buffer1.Stop", "buffer1.Release",
                          "dsound.CreateSoundBuffer", "buffer2.Lock", "buffer2.Unlock", "buffer2.SetVolume",
                          "buffer2.SetPan", "buffer2.SetFrequency"));
  EXPECT_TRUE(old->Released());
  EXPECT_EQ(fake.OpenFiles(), 1);
  EXPECT_EQ(fake.LiveBlocks(), 1u) << "only the new stream's format block";
  EXPECT_EQ(StreamOpen, 1);
  EXPECT_EQ(StreamPlaying, 0);
  EXPECT_EQ(TimerActive, 0);
  EXPECT_FALSE(fake.TimerAlive());
  EXPECT_EQ(fake.OpenPeriods(), 0);
  EXPECT_FALSE(Buffer()->Playing());
  EXPECT_EQ(Buffer()->Data(), Slice(second, 0, 26460));
  EXPECT_EQ(StreamHalting.load(), 0);
}

// --- Playing and stopping ------------------------------------------------

using StreamPlayback = StreamTest;

TEST_F(StreamPlayback, StartsTheBufferLoopingAndThenTheFiftyMillisecondTimer) {
  OpenPrimed(PcmFile("bgm1.wav", Pattern(300000)));
  StreamLock.store(1);  // left held by an earlier stop

  sound.PlayStream();

  EXPECT_THAT(fake.CallNames(), ElementsAre("buffer1.SetCurrentPosition", "buffer1.Play", "timeBeginPeriod",
                                            "timeSetEvent"));
  const std::vector<Call> calls = fake.Calls();
  EXPECT_EQ(calls[0].args, (std::vector<std::int64_t>{0}));
  EXPECT_EQ(calls[1].args, (std::vector<std::int64_t>{0, 0, DSBPLAY_LOOPING}));
  EXPECT_EQ(calls[2].args, (std::vector<std::int64_t>{50}));
  EXPECT_EQ(calls[3].args, (std::vector<std::int64_t>{50, 10, 0, TIME_PERIODIC}));
  EXPECT_TRUE(Buffer()->Playing());
  EXPECT_TRUE(Buffer()->Looping());
  EXPECT_EQ(StreamLock.load(), 0);
  EXPECT_EQ(TimerActive, 1);
  EXPECT_EQ(StreamPlaying, 1);
  EXPECT_EQ(TimerId, fake.TimerEventId());
  EXPECT_TRUE(fake.TimerAlive());
}

TEST_F(StreamPlayback, StopOnAPrimedStreamDoesNothing) {
  OpenPrimed(PcmFile("bgm1.wav", Pattern(300000)));
  const DWORD unread = StreamDataChunk.cksize;
  sound.StopStream();
  EXPECT_THAT(fake.CallNames(), IsEmpty());
  EXPECT_EQ(StreamDataChunk.cksize, unread) << "not even a rewind";
}

TEST_F(StreamPlayback, StopKillsTheTimerKeepsTheLockAndPrimesFromTheFirstDataByte) {
  const Bytes data = Pattern(300000);
  OpenPlaying(PcmFile("bgm1.wav", data));
  PlayAndTick(8820);
  PlayAndTick(8820);
  const UINT id = TimerId;
  fake.ClearCalls();

  sound.StopStream();

  EXPECT_THAT(fake.CallNames(), ElementsAre("timeKillEvent", "timeEndPeriod", "buffer1.Stop", "buffer1.Lock",
                                            "buffer1.Unlock"));
  EXPECT_EQ(fake.Calls()[0].args, (std::vector<std::int64_t>{id}));
  EXPECT_EQ(Buffer()->Data(), Slice(data, 0, kCd44Bytes));
  EXPECT_FALSE(Buffer()->Playing());
  EXPECT_EQ(RefillPosition, 0u);
  EXPECT_EQ(StreamHalting.load(), 0);
  EXPECT_EQ(StreamPlaying, 0);
  EXPECT_EQ(TimerActive, 0);
  EXPECT_EQ(StreamOpen, 1);
  EXPECT_FALSE(fake.TimerAlive());
  EXPECT_EQ(fake.OpenPeriods(), 0);

  // The lock stays held, so a tick the platform still delivers does nothing,
  // until the next PlayStream frees it.
  EXPECT_EQ(StreamLock.load(), 1);
  fake.ClearCalls();
  VSTimeRunFuncForDSound(id, 0, 0, 0, 0);
  EXPECT_THAT(fake.CallNames(), IsEmpty());
  EXPECT_EQ(StreamLock.load(), 1);
  sound.StopStream();
  EXPECT_EQ(StreamLock.load(), 1);
  sound.PlayStream();
  EXPECT_EQ(StreamLock.load(), 0);
}

TEST_F(StreamPlayback, PlayingTwiceRestartsFromTheFirstDataByte) {
  const Bytes data = Pattern(300000);
  OpenPlaying(PcmFile("bgm1.wav", data));
  PlayAndTick(50000);
  PlayAndTick(50000);
  ASSERT_NE(Buffer()->Data(), Slice(data, 0, kCd44Bytes));
  const UINT firstId = TimerId;
  fake.ClearCalls();

  sound.PlayStream();

  EXPECT_THAT(fake.CallNames(),
              ElementsAre("timeKillEvent", "timeEndPeriod", "buffer1.Stop", "buffer1.Lock", "buffer1.Unlock",
                          "buffer1.SetCurrentPosition", "buffer1.Play", "timeBeginPeriod", "timeSetEvent"));
  EXPECT_EQ(Buffer()->Data(), Slice(data, 0, kCd44Bytes));
  EXPECT_EQ(Buffer()->Position(), 0u);
  EXPECT_TRUE(Buffer()->Playing());
  EXPECT_NE(TimerId, firstId);
  EXPECT_EQ(TimerActive, 1);
  EXPECT_EQ(StreamPlaying, 1);
  EXPECT_EQ(StreamLock.load(), 0);
  EXPECT_EQ(fake.OpenPeriods(), 1);

  // The refill carries on from the bytes after the primed buffer.
  PlayAndTick(8820);
  EXPECT_EQ(Slice(Buffer()->Data(), 0, 8820), Slice(data, kCd44Bytes, 8820));
}

TEST_F(StreamPlayback, ARefusedTimerPeriodStopsTheBufferWithoutARewind) {
  OpenPrimed(PcmFile("bgm1.wav", Pattern(300000)));
  fake.Fail("timeBeginPeriod", TIMERR_NOCANDO);

  sound.PlayStream();

  EXPECT_THAT(fake.CallNames(),
              ElementsAre("buffer1.SetCurrentPosition", "buffer1.Play", "timeBeginPeriod", "buffer1.Stop"));
  EXPECT_FALSE(Buffer()->Playing());
  EXPECT_EQ(StreamPlaying, 0);
  EXPECT_EQ(TimerActive, 0);
  EXPECT_EQ(StreamOpen, 1);
}

TEST_F(StreamPlayback, WithoutATimerEventThePeriodEndsAtOnceAndTheBufferLoopsUnrefilled) {
  const Bytes data = Pattern(300000);
  OpenPrimed(PcmFile("bgm1.wav", data));
  fake.Fail("timeSetEvent", 0);

  sound.PlayStream();

  EXPECT_THAT(fake.CallNames(), ElementsAre("buffer1.SetCurrentPosition", "buffer1.Play", "timeBeginPeriod",
                                            "timeSetEvent", "timeEndPeriod"));
  EXPECT_EQ(fake.OpenPeriods(), 0);
  EXPECT_EQ(StreamPlaying, 1);
  EXPECT_EQ(TimerActive, 0);
  EXPECT_TRUE(Buffer()->Playing());

  // A stop still stops and rewinds it; there is no event to kill.
  Buffer()->Advance(100000);
  fake.ClearCalls();
  sound.StopStream();
  EXPECT_THAT(fake.CallNames(), ElementsAre("buffer1.Stop", "buffer1.Lock", "buffer1.Unlock"));
  EXPECT_EQ(Buffer()->Data(), Slice(data, 0, kCd44Bytes));
  EXPECT_EQ(StreamPlaying, 0);
}

// --- Halting -------------------------------------------------------------

class StreamHaltMode : public StreamTest, public ::testing::WithParamInterface<LONG> {};

TEST_P(StreamHaltMode, OddModesCloseAndEvenModesRewind) {
  const LONG mode = GetParam();
  const Bytes data = Pattern(300000);
  OpenPlaying(PcmFile("bgm1.wav", data));
  PlayAndTick(30000);
  fake.ClearCalls();

  sound.HaltStream(mode);

  EXPECT_EQ(StreamPlaying, 0);
  EXPECT_EQ(TimerActive, 0);
  EXPECT_EQ(StreamLock.load(), 1);
  EXPECT_EQ(StreamHalting.load(), (mode & 1) ? 1 : 0);
  EXPECT_FALSE(fake.TimerAlive());
  if (mode & 1) {
    EXPECT_THAT(fake.CallNames(), ElementsAre("timeKillEvent", "timeEndPeriod", "buffer1.Stop", "buffer1.Release"));
    EXPECT_TRUE(Buffer()->Released());
    EXPECT_EQ(StreamOpen, 0);
    EXPECT_EQ(StreamBuffer, nullptr);
    EXPECT_EQ(StreamFile, nullptr);
    EXPECT_EQ(StreamFormat, nullptr);
    EXPECT_EQ(fake.OpenFiles(), 0);
    EXPECT_EQ(fake.LiveBlocks(), 0u);
  } else {
    EXPECT_THAT(fake.CallNames(),
                ElementsAre("timeKillEvent", "timeEndPeriod", "buffer1.Stop", "buffer1.Lock", "buffer1.Unlock"));
    EXPECT_EQ(StreamOpen, 1);
    EXPECT_EQ(Buffer()->Data(), Slice(data, 0, kCd44Bytes));
  }

  // A second halt finds nothing left to stop.
  fake.ClearCalls();
  sound.HaltStream(mode);
  EXPECT_THAT(fake.CallNamesContaining("time"), IsEmpty());
  EXPECT_EQ(fake.UseAfterRelease(), 0);
}

// Bit 0 alone decides: set closes the stream, clear rewinds it.
INSTANTIATE_TEST_SUITE_P(Modes, StreamHaltMode, ::testing::Values(0, 1, 2, 3), [](const auto& info) {
  return "Mode" + std::to_string(info.param) + ((info.param & 1) ? "Closes" : "Rewinds");
});

TEST_F(StreamPlayback, AHaltWaitsInHundredMillisecondSleepsForATickUnderWay) {
  const Bytes data = Pattern(300000);
  OpenPlaying(PcmFile("bgm1.wav", data));
  Buffer()->Advance(8820);
  // A tick holds the lock when the halt begins; it finishes during the
  // second sleep, writing silence over what it refills since the halt has
  // begun.
  StreamLock.store(1);
  int sleeps = 0;
  Bytes writtenDuringHalt;
  fake.onSleep = [&](DWORD) {
    if (++sleeps < 2) return;
    EXPECT_EQ(StreamHalting.load(), 1);
    StreamLock.store(0);
    VSTimeRunFuncForDSound(TimerId, 0, 0, 0, 0);
    writtenDuringHalt = Slice(Buffer()->Data(), 0, 8820);
  };
  fake.ClearCalls();

  sound.StopStream();

  EXPECT_EQ(sleeps, 2) << "two attempts found the lock held; the third took it";
  EXPECT_THAT(fake.CallNamesContaining("Sleep"), ElementsAre("Sleep", "Sleep"));
  EXPECT_EQ(fake.Calls()[2].args, (std::vector<std::int64_t>{100}));
  EXPECT_EQ(writtenDuringHalt, Bytes(8820, 0));
  EXPECT_EQ(StreamLock.load(), 1);
  EXPECT_EQ(Buffer()->Data(), Slice(data, 0, kCd44Bytes)) << "the rewind refills over the silence";
}

TEST_F(StreamPlayback, CloseDSoundWithAStreamPlayingStopsAndClosesItBeforeReleasingTheDevice) {
  OpenPlaying(PcmFile("bgm1.wav", Pattern(300000)));
  PlayAndTick(8820);
  fake.ClearCalls();
  // A sleep would mean the halt found the lock held although no tick ran.
  fake.onSleep = [&](DWORD) { ADD_FAILURE() << "no tick was under way"; };

  sound.CloseDSound();

  EXPECT_THAT(fake.CallNames(), ElementsAre("timeKillEvent", "timeEndPeriod", "buffer1.Stop", "buffer1.Release",
                                            "dsound.Release", "CoUninitialize"));
  EXPECT_EQ(fake.OpenFiles(), 0);
  EXPECT_EQ(fake.LiveBlocks(), 0u);
  EXPECT_TRUE(Buffer()->Released());
  EXPECT_TRUE(fake.Device()->Released());
  EXPECT_EQ(StreamOpen, 0);
  EXPECT_EQ(StreamPlaying, 0);
  EXPECT_EQ(TimerActive, 0);
  EXPECT_EQ(StreamLock.load(), 1);
  EXPECT_EQ(fake.OpenPeriods(), 0);
  EXPECT_EQ(fake.UseAfterRelease(), 0);
}

TEST_F(StreamPlayback, CloseDSoundWithAPrimedStreamClosesItToo) {
  OpenPrimed(PcmFile("bgm1.wav", Pattern(300000)));
  sound.CloseDSound();
  EXPECT_THAT(fake.CallNames(), ElementsAre("buffer1.Release", "dsound.Release", "CoUninitialize"));
  EXPECT_EQ(fake.OpenFiles(), 0);
  EXPECT_EQ(fake.LiveBlocks(), 0u);
  EXPECT_EQ(StreamOpen, 0);
}

}  // namespace
}  // namespace velmo::testing
