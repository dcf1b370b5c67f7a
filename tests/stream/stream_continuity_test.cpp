// Ten minutes of simulated playback must consume the file's samples exactly,
// repeated end to end: no byte missing, repeated or out of order.
//
// Once on the platform double, which hands over the bytes its play cursor
// passes, and once on the real software device with a manual output, whose
// right channel carries the samples unchanged (the stream is panned 40 dB to
// the right at full volume, and the output runs at the file's rate).
#include <gtest/gtest.h>

#include "platform/testing/manual_output.h"
#include "sound/engine_state.h"
#include "tests/stream/manual_device_platform.h"
#include "tests/stream/simulated_playback.h"
#include "tests/stream/stream_fixture.h"

namespace velmo::testing {
namespace {

constexpr std::uint64_t kTenMinutesMs = 10 * 60 * 1000;

struct ContinuityCase {
  const char* name;
  std::uint16_t channels;
  std::uint32_t rate;
  std::uint16_t bits;
  std::size_t dataBytes;
};

// 16-bit stereo whose data is not a multiple of the 211680-byte buffer, and
// 8-bit mono shorter than its 13230-byte buffer.
const ContinuityCase kCases[] = {
    {"Stereo16", 2, 44100, 16, 300000},
    {"Mono8Short", 1, 11025, 8, 5001},
};

std::string CaseName(const ::testing::TestParamInfo<ContinuityCase>& info) { return info.param.name; }

void PrintTo(const ContinuityCase& c, std::ostream* os) {
  *os << c.name << ": " << c.channels << " ch " << c.rate << " Hz " << c.bits << "-bit, " << c.dataBytes
      << " data bytes";
}

class StreamContinuityOnTheDouble : public StreamTest, public ::testing::WithParamInterface<ContinuityCase> {};

TEST_P(StreamContinuityOnTheDouble, ConsumesTheFileRepeatedEndToEnd) {
  const ContinuityCase c = GetParam();
  const Bytes data = RandomBytes(c.dataBytes, 1234);
  OpenPlaying(PcmFile("bgm.wav", data, c.channels, c.rate, c.bits));
  FakeSoundBuffer* buffer = Buffer();
  const std::size_t frameBytes = c.channels * (c.bits / 8);
  const TickSchedule schedule = MakeTickSchedule(kTenMinutesMs, 77);

  std::uint64_t consumed = 0;
  std::uint64_t mismatches = 0;
  std::uint64_t firstMismatch = 0;
  SimulatePlayback(
      schedule, kTenMinutesMs, c.rate,
      [&](std::size_t frames) {
        // The bytes the play cursor passes over, in the order it passes them.
        const std::vector<std::uint8_t>& ring = buffer->Data();
        DWORD at = buffer->Position();
        for (std::size_t i = 0; i < frames * frameBytes; ++i) {
          if (ring[at] != data[consumed % data.size()] && mismatches++ == 0) firstMismatch = consumed;
          ++consumed;
          if (++at == ring.size()) at = 0;
        }
        buffer->Advance(static_cast<DWORD>(frames * frameBytes));
      },
      [&] { fake.FireTimer(); });

  EXPECT_EQ(consumed, kTenMinutesMs / 1000 * c.rate * frameBytes);
  EXPECT_EQ(mismatches, 0u) << "first wrong byte at stream offset " << firstMismatch;
  EXPECT_TRUE(fake.DebugLines().empty());
  EXPECT_GT(schedule.skipped, 1000);
  EXPECT_GE(schedule.longestGapMs, 250);
}

INSTANTIATE_TEST_SUITE_P(Files, StreamContinuityOnTheDouble, ::testing::ValuesIn(kCases), CaseName);

class EngineOnTheSoftwareDevice : public ::testing::Test {
 protected:
  static void ResetEngine() {
    DSoundReady = 0;
    DSoundObject = nullptr;
    StreamLock.store(0);
    TimerActive = StreamPlaying = StreamOpen = 0;
    TimerId = 0;
    ResetStreamState();
  }
  EngineOnTheSoftwareDevice() { ResetEngine(); }
  ~EngineOnTheSoftwareDevice() override { ResetEngine(); }
};

class StreamContinuityOnTheSoftwareDevice : public EngineOnTheSoftwareDevice,
                                            public ::testing::WithParamInterface<ContinuityCase> {};
class StreamLossOnTheSoftwareDevice : public EngineOnTheSoftwareDevice {};

// The sample the right output channel carries for stream byte offset `at`.
std::int16_t RightSample(const Bytes& data, const ContinuityCase& c, std::uint64_t frame) {
  const std::size_t frameBytes = c.channels * (c.bits / 8);
  const std::size_t at = static_cast<std::size_t>((frame * frameBytes) % data.size());
  if (c.bits == 8) return static_cast<std::int16_t>((data[at] - 128) * 256);
  const std::size_t right = (at + 2) % data.size();
  return static_cast<std::int16_t>(data[right] | (data[(right + 1) % data.size()] << 8));
}

TEST_P(StreamContinuityOnTheSoftwareDevice, TheRightChannelIsTheFileRepeatedEndToEnd) {
  const ContinuityCase c = GetParam();
  const Bytes data = RandomBytes(c.dataBytes, 4321);
  TempDir dir;
  const std::string file = dir.Write("bgm.wav", PcmWave(data, c.channels, c.rate, c.bits));
  ManualDevicePlatform platform(c.rate);
  ScopedPlatform installed(platform);
  VSSound sound{};
  ASSERT_EQ(sound.InitDSound(reinterpret_cast<HWND>(0x77)), 1);
  ASSERT_NE(platform.Output(), nullptr);
  ASSERT_EQ(sound.OpenStream(file.c_str()), 1);
  sound.PlayStream();
  ASSERT_EQ(TimerActive, 1);
  const TickSchedule schedule = MakeTickSchedule(kTenMinutesMs, 78);

  std::uint64_t frame = 0;
  std::uint64_t mismatches = 0;
  std::uint64_t firstMismatch = 0;
  SimulatePlayback(
      schedule, kTenMinutesMs, c.rate,
      [&](std::size_t frames) {
        const std::vector<std::int16_t> mix = platform.Output()->Render(frames);
        ASSERT_EQ(mix.size(), 2 * frames);
        for (std::size_t i = 0; i < frames; ++i, ++frame)
          if (mix[2 * i + 1] != RightSample(data, c, frame) && mismatches++ == 0) firstMismatch = frame;
      },
      [&] { platform.FireTimer(); });

  EXPECT_EQ(frame, kTenMinutesMs / 1000 * c.rate);
  EXPECT_EQ(mismatches, 0u) << "first wrong frame " << firstMismatch;
  EXPECT_EQ(platform.DebugLines(), 0);

  sound.StopStream();
  sound.CloseDSound();
  EXPECT_EQ(platform.OpenPeriods(), 0);
  EXPECT_EQ(platform.MessageBoxes(), 0);
}

INSTANTIATE_TEST_SUITE_P(Files, StreamContinuityOnTheSoftwareDevice, ::testing::ValuesIn(kCases), CaseName);

// The sound device goes away under the stream for half a second and comes
// back.  Nothing is heard meanwhile, but time goes on: the refills keep
// pace, and once the device is back the file is heard exactly where the time
// spent away has taken it, unbroken through the refills that follow.
TEST_F(StreamLossOnTheSoftwareDevice, TheFileGoesOnThroughAnOutageAsIfItHadBeenHeard) {
  const ContinuityCase c = kCases[0];
  const Bytes data = RandomBytes(c.dataBytes, 99);
  TempDir dir;
  const std::string file = dir.Write("bgm.wav", PcmWave(data, c.channels, c.rate, c.bits));
  ManualDevicePlatform platform(c.rate);
  ScopedPlatform installed(platform);
  VSSound sound{};
  ASSERT_EQ(sound.InitDSound(reinterpret_cast<HWND>(0x77)), 1);
  ASSERT_EQ(sound.OpenStream(file.c_str()), 1);
  sound.PlayStream();
  const std::size_t kTickFrames = c.rate / 20;  // 50 ms

  std::uint64_t frame = 0, mismatches = 0;
  const auto play = [&](int ticks, bool away) {
    for (int tick = 0; tick < ticks; ++tick) {
      const std::vector<std::int16_t> mix = platform.Output()->Render(kTickFrames);
      for (std::size_t i = 0; i < kTickFrames; ++i, ++frame) {
        const std::int16_t expected = away ? 0 : RightSample(data, c, frame);
        if (mix[2 * i + 1] != expected && mismatches++ == 0)
          ADD_FAILURE() << "first wrong frame " << i << " of tick " << tick << (away ? " while away" : "");
      }
      ASSERT_TRUE(platform.FireTimer());
    }
  };
  play(20, false);
  platform.Output()->SimulateRemoval();
  play(10, true);
  platform.Output()->SimulateReopen();
  play(40, false);
  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(platform.DebugLines(), 0);
  sound.StopStream();
  sound.CloseDSound();
}

}  // namespace
}  // namespace velmo::testing
