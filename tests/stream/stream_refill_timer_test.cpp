// The refill tick, delivered by hand through the platform double.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>

#include "tests/stream/stream_fixture.h"
#include "velmo/platform/services.h"

namespace velmo::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr DWORD kCd44Bytes = 211680;

using RefillTick = StreamTest;

TEST_F(RefillTick, WithNothingPlayedReadsTheCursorOnly) {
  OpenPlaying(PcmFile("bgm1.wav", Pattern(300000)));
  const DWORD unread = StreamDataChunk.cksize;

  ASSERT_TRUE(fake.FireTimer());

  EXPECT_THAT(fake.CallNames(), ElementsAre("buffer1.GetStatus", "buffer1.GetCurrentPosition"));
  EXPECT_EQ(StreamDataChunk.cksize, unread);
  EXPECT_EQ(StreamLock.load(), 0);
}

TEST_F(RefillTick, RefillsThePlayedSpanWithTheNextDataAndMovesUpToTheCursor) {
  const Bytes data = Pattern(300000);
  OpenPlaying(PcmFile("bgm1.wav", data));

  PlayAndTick(8820);

  EXPECT_THAT(fake.CallNames(), ElementsAre("buffer1.GetStatus", "buffer1.GetCurrentPosition", "buffer1.Lock",
                                            "buffer1.Unlock"));
  EXPECT_EQ(fake.Calls()[2].args, (std::vector<std::int64_t>{0, 8820, 0}));
  EXPECT_EQ(Slice(Buffer()->Data(), 0, 8820), Slice(data, kCd44Bytes, 8820));
  EXPECT_EQ(Slice(Buffer()->Data(), 8820, kCd44Bytes - 8820), Slice(data, 8820, kCd44Bytes - 8820))
      << "the unplayed part is untouched";
  EXPECT_EQ(RefillPosition, 8820u);
  EXPECT_EQ(StreamLock.load(), 0);
  EXPECT_FALSE(Buffer()->Locked());
}

TEST_F(RefillTick, ASpanThatWrapsIsFilledAsTwoRegionsInFileOrder) {
  const Bytes data = Pattern(1000000);
  OpenPlaying(PcmFile("bgm1.wav", data));
  PlayAndTick(kCd44Bytes - 1000);  // refill up to 1000 bytes before the end
  fake.ClearCalls();

  PlayAndTick(3000);  // the cursor wraps to 2000

  EXPECT_EQ(fake.Calls()[2].name, "buffer1.Lock");
  EXPECT_EQ(fake.Calls()[2].args, (std::vector<std::int64_t>{kCd44Bytes - 1000, 3000, 0}));
  EXPECT_EQ(fake.Calls()[3].args, (std::vector<std::int64_t>{1000, 2000})) << "Unlock of both regions";
  const std::size_t next = 2 * kCd44Bytes - 1000;  // file offset of the span's first byte
  EXPECT_EQ(Slice(Buffer()->Data(), kCd44Bytes - 1000, 1000), Slice(data, next, 1000));
  EXPECT_EQ(Slice(Buffer()->Data(), 0, 2000), Slice(data, next + 1000, 2000));
  EXPECT_EQ(RefillPosition, 2000u);
}

TEST_F(RefillTick, DataEndingInsideARegionContinuesFromTheFirstDataByte) {
  // 8-bit mono at 11025 Hz: a 13230-byte buffer over 20000 data bytes.
  const Bytes data = Pattern(20000, 3);
  OpenPlaying(PcmFile("bgm1.wav", data, 1, 11025, 8));

  PlayAndTick(8000);
  // 6770 bytes finish the data, then 1230 come from its start.
  EXPECT_EQ(Slice(Buffer()->Data(), 0, 8000), Looped(data, 13230, 8000));

  PlayAndTick(5000);
  EXPECT_EQ(Slice(Buffer()->Data(), 8000, 5000), Looped(data, 1230, 5000));
  EXPECT_EQ(RefillPosition, 13000u);
}

TEST_F(RefillTick, ALostBufferIsRestoredRefilledByAThirdFromTheStartAndPlayedAgain) {
  // 8001 bytes a second: a 9601-byte buffer, whose third (2 x 9601 / 6) is
  // 3200 with the quotient truncated.
  const Bytes data = Pattern(30000);
  OpenPlaying(PcmFile("bgm1.wav", data, 1, 8001, 8));
  PlayAndTick(4000);
  Buffer()->Lose();
  fake.ClearCalls();

  ASSERT_TRUE(fake.FireTimer());

  EXPECT_THAT(fake.CallNames(), ElementsAre("buffer1.GetStatus", "buffer1.Restore", "buffer1.GetCurrentPosition",
                                            "buffer1.Lock", "buffer1.Unlock", "buffer1.Play"));
  const std::vector<Call> calls = fake.Calls();
  EXPECT_EQ(calls[3].args, (std::vector<std::int64_t>{0, 3200, 0}));
  EXPECT_EQ(calls[5].args, (std::vector<std::int64_t>{0, 0, DSBPLAY_LOOPING}));
  // The file goes on where the last refill stopped: 9601 primed + 4000.
  EXPECT_EQ(Slice(Buffer()->Data(), 0, 3200), Slice(data, 13601, 3200));
  EXPECT_EQ(RefillPosition, 3200u);
  EXPECT_TRUE(Buffer()->Playing());
  EXPECT_TRUE(Buffer()->Looping());
  EXPECT_EQ(StreamLock.load(), 0);
}

TEST_F(RefillTick, ABufferLostWithTheCursorAtTheRefillPositionIsStillRefilled) {
  // Nothing has been played since the last refill, but the restored memory
  // holds nothing: the third must be written all the same.
  const Bytes data = Pattern(300000);
  OpenPlaying(PcmFile("bgm1.wav", data));
  Buffer()->Lose();

  ASSERT_TRUE(fake.FireTimer());

  EXPECT_EQ(Slice(Buffer()->Data(), 0, 70560), Slice(data, kCd44Bytes, 70560));
  EXPECT_EQ(RefillPosition, 70560u);
  EXPECT_TRUE(Buffer()->Playing());
}

TEST_F(RefillTick, ARestoreThatFailsLeavesEverythingForTheNextTick) {
  OpenPlaying(PcmFile("bgm1.wav", Pattern(300000)));
  PlayAndTick(8820);
  Buffer()->Lose();
  fake.Fail("Restore", DSERR_BUFFERLOST, 1);
  fake.ClearCalls();

  ASSERT_TRUE(fake.FireTimer());
  EXPECT_THAT(fake.CallNames(), ElementsAre("buffer1.GetStatus", "buffer1.Restore"));
  EXPECT_EQ(RefillPosition, 8820u);
  EXPECT_EQ(StreamLock.load(), 0);

  ASSERT_TRUE(fake.FireTimer());
  EXPECT_TRUE(Buffer()->Playing()) << "the second tick restored it";
  EXPECT_EQ(RefillPosition, 70560u);
}

TEST_F(RefillTick, AFailedLockWritesOneDebugLineAndAsksForTheLargerSpanNextTime) {
  const Bytes data = Pattern(300000);
  OpenPlaying(PcmFile("bgm1.wav", data));
  fake.Fail("Lock", DSERR_INVALIDCALL, 1);
  const std::vector<std::uint8_t> before = Buffer()->Data();

  PlayAndTick(8820);

  EXPECT_THAT(fake.DebugLines(), ElementsAre("VSTimeRunFuncForDSound() could not lock DirectSoundBuffer"));
  EXPECT_THAT(fake.CallNamesContaining("Unlock"), IsEmpty());
  EXPECT_EQ(Buffer()->Data(), before);
  EXPECT_EQ(RefillPosition, 0u);
  EXPECT_EQ(StreamLock.load(), 0);
  EXPECT_THAT(fake.MessageBoxes(), IsEmpty());

  fake.ClearCalls();
  PlayAndTick(8820);
  EXPECT_EQ(fake.Calls()[2].args, (std::vector<std::int64_t>{0, 17640, 0}));
  EXPECT_EQ(Slice(Buffer()->Data(), 0, 17640), Slice(data, kCd44Bytes, 17640));
  EXPECT_EQ(fake.DebugLines().size(), 1u);
}

TEST_F(RefillTick, ThatFindsTheLockHeldTouchesNothingAndLeavesItHeld) {
  OpenPlaying(PcmFile("bgm1.wav", Pattern(300000)));
  Buffer()->Advance(8820);
  StreamLock.store(1);

  ASSERT_TRUE(fake.FireTimer());

  EXPECT_THAT(fake.CallNames(), IsEmpty());
  EXPECT_EQ(StreamLock.load(), 1);
  EXPECT_EQ(RefillPosition, 0u);
}

class RefillTickUnreadable : public StreamTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RefillTickUnreadable, StatusOrCursorLeavesTheBufferAndPositionAlone) {
  OpenPlaying(PcmFile("bgm1.wav", Pattern(300000)));
  PlayAndTick(8820);
  const std::vector<std::uint8_t> before = Buffer()->Data();
  fake.Fail(GetParam(), DSERR_GENERIC, 1);
  fake.ClearCalls();

  PlayAndTick(8820);

  EXPECT_THAT(fake.CallNamesContaining("Lock"), IsEmpty());
  EXPECT_EQ(Buffer()->Data(), before);
  EXPECT_EQ(RefillPosition, 8820u);
  EXPECT_EQ(StreamLock.load(), 0);

  PlayAndTick(0);
  EXPECT_EQ(RefillPosition, 17640u) << "the next tick catches up";
}

INSTANTIATE_TEST_SUITE_P(Calls, RefillTickUnreadable, ::testing::Values("GetStatus", "GetCurrentPosition"),
                         [](const auto& info) { return std::string(info.param); });

struct SilenceCase {
  std::uint16_t channels;
  std::uint32_t rate;
  std::uint16_t bits;
  std::uint8_t silence;
};

void PrintTo(const SilenceCase& c, std::ostream* os) {
  *os << c.channels << " ch " << c.rate << " Hz " << c.bits << "-bit, silence 0x" << std::hex << int{c.silence}
      << std::dec;
}

class RefillTickDuringAHalt : public StreamTest, public ::testing::WithParamInterface<SilenceCase> {};

TEST_P(RefillTickDuringAHalt, WritesSilenceAndReadsNothing) {
  const SilenceCase c = GetParam();
  OpenPlaying(PcmFile("bgm1.wav", Pattern(500000, 1), c.channels, c.rate, c.bits));
  const DWORD size = StreamBufferBytes;
  PlayAndTick(size - 100);
  const DWORD unread = StreamDataChunk.cksize;
  StreamHalting.store(1);

  PlayAndTick(300);  // wraps: 100 bytes at the end, 200 from the start

  EXPECT_EQ(Slice(Buffer()->Data(), size - 100, 100), Bytes(100, c.silence));
  EXPECT_EQ(Slice(Buffer()->Data(), 0, 200), Bytes(200, c.silence));
  EXPECT_NE(Buffer()->Data()[200], c.silence);
  EXPECT_EQ(StreamDataChunk.cksize, unread);
  EXPECT_EQ(RefillPosition, 200u);
}

INSTANTIATE_TEST_SUITE_P(Widths, RefillTickDuringAHalt,
                         ::testing::Values(SilenceCase{1, 22050, 8, 0x80}, SilenceCase{2, 11025, 8, 0x80},
                                           SilenceCase{2, 44100, 16, 0}, SilenceCase{1, 8000, 24, 0}),
                         [](const auto& info) {
                           const SilenceCase& c = info.param;
                           return (c.channels == 1 ? std::string("Mono") : std::string("Stereo")) +
                                  std::to_string(c.bits) + "Bit" + std::to_string(c.rate) + "Hz";
                         });

// --- Data that yields nothing ----------------------------------------------

TEST_F(RefillTick, AnEmptyDataChunkGivesSilenceNotAHang) {
  OpenPlaying(PcmFile("empty.wav", Bytes{}, 1, 11025, 8));
  PlayAndTick(5000);
  PlayAndTick(13000);
  EXPECT_EQ(Buffer()->Data(), Bytes(13230, 0x80));
  EXPECT_EQ(StreamLock.load(), 0);
}

TEST_F(RefillTick, AFileCutShortOfItsDeclaredDataNeverHangsTheRead) {
  // The data chunk says 40000 bytes but the file ends after 1000 of them.
  // A read that runs into the cut reports nothing, so the wrapping read
  // starts again from the first data byte; a pass from there that cannot be
  // served either ends the region in silence.
  const Bytes samples = Pattern(1000);
  Bytes body = PcmFmt(1, 11025, 8);
  Append(body, Chunk("data", samples, 40000));
  OpenPlaying(dir.Write("cut.wav", Riff(body)));
  EXPECT_EQ(Buffer()->Data(), Bytes(13230, 0x80)) << "the 13230-byte fill can never be served";

  PlayAndTick(700);
  EXPECT_EQ(Slice(Buffer()->Data(), 0, 700), Slice(samples, 0, 700));
  PlayAndTick(700);  // 300 bytes, then the cut: the region starts over
  EXPECT_EQ(Slice(Buffer()->Data(), 700, 700), Slice(samples, 0, 700));
  PlayAndTick(5000);
  EXPECT_EQ(Slice(Buffer()->Data(), 1400, 5000), Bytes(5000, 0x80));
  EXPECT_EQ(RefillPosition, 6400u);
  EXPECT_EQ(StreamLock.load(), 0);
}

TEST_F(RefillTick, AStreamFileThatShrinksWhilePlayingEndsInSilenceAndRewindsToSilence) {
  const Bytes data = Pattern(1000000);
  const std::string path = PcmFile("bgm1.wav", data);
  OpenPlaying(path);
  PlayAndTick(8820);
  std::filesystem::resize_file(path, 30);  // not even the data chunk's header is left

  // The file layer still holds some bytes read before the cut; after those
  // every refill is silence.
  for (int tick = 0; tick < 20; ++tick) PlayAndTick(8820);
  const DWORD last = RefillPosition - 8820;
  EXPECT_EQ(Slice(Buffer()->Data(), last, 8820), Bytes(8820, 0));
  EXPECT_EQ(StreamLock.load(), 0);

  // The rewind finds no data chunk: the whole buffer is silence.
  sound.StopStream();
  EXPECT_EQ(Buffer()->Data(), Bytes(kCd44Bytes, 0));
  EXPECT_EQ(StreamHalting.load(), 0);
  sound.PlayStream();
  PlayAndTick(8820);
  EXPECT_EQ(StreamPlaying, 1);
  EXPECT_EQ(Slice(Buffer()->Data(), 0, 8820), Bytes(8820, 0));
}

// 16-bit stereo frames whose values stay within +-1000 and never repeat
// within 65521 frames, so that any stretch of them says where it came from.
Bytes QuietUniqueFrames(std::size_t frames) {
  Bytes out;
  out.reserve(frames * 4);
  for (std::size_t i = 0; i < frames; ++i) {
    const auto left = static_cast<std::int16_t>(static_cast<int>((i * 7919) % 65521) * 2000 / 65520 - 1000);
    const auto right = static_cast<std::int16_t>(left / 2);
    for (std::int16_t v : {left, right}) {
      out.push_back(static_cast<std::uint8_t>(v & 0xFF));
      out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
    }
  }
  return out;
}

int PeakOf16Bit(const Bytes& bytes) {
  int peak = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto v = static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8));
    peak = std::max(peak, std::abs(static_cast<int>(v)));
  }
  return peak;
}

// Where `region` lies in `data` at a whole frame, or -1.
long FrameOffsetOf(const Bytes& region, const Bytes& data, std::size_t frameBytes) {
  for (std::size_t at = 0; at + region.size() <= data.size(); at += frameBytes)
    if (std::equal(region.begin(), region.end(), data.begin() + static_cast<std::ptrdiff_t>(at)))
      return static_cast<long>(at);
  return -1;
}

TEST_F(RefillTick, AStreamFileCutInsideItsDataLoopsWhatIsLeftInWholeFramesAndNoLouder) {
  const Bytes data = QuietUniqueFrames(250000);
  const std::string path = PcmFile("bgm1.wav", data);
  OpenPlaying(path);
  PlayAndTick(8820);
  // 12500 frames and one byte of a frame are left: a cut that is not even
  // at a frame's end.
  constexpr std::size_t kLeft = 50001;
  std::filesystem::resize_file(path, 44 + kLeft);
  const Bytes left(data.begin(), data.begin() + kLeft);

  bool soundAfterTheCut = false;
  for (int tick = 0; tick < 60; ++tick) {
    const DWORD start = RefillPosition;
    PlayAndTick(8820);
    ASSERT_EQ(RefillPosition, (start + 8820) % kCd44Bytes);
    const Bytes region = Slice(Buffer()->Data(), start, 8820);
    ASSERT_LE(PeakOf16Bit(region), 1000) << "tick " << tick << " is louder than the file";
    if (region == Bytes(8820, 0)) continue;
    // The file layer still holds bytes read before the cut; once those are
    // used up every refill is a stretch of what the file has left.
    const long at = FrameOffsetOf(region, tick < 10 ? data : left, 4);
    ASSERT_GE(at, 0) << "tick " << tick << " is no stretch of whole frames of the "
                     << (tick < 10 ? "file" : "data left after the cut");
    if (tick >= 10) soundAfterTheCut = true;
  }
  EXPECT_TRUE(soundAfterTheCut) << "the data left after the cut no longer plays";
  EXPECT_EQ(StreamLock.load(), 0);
}

TEST_F(RefillTick, AStreamFileRemovedWhilePlayingGoesOnFromTheOpenFile) {
  const Bytes data = Pattern(300000);
  const std::string path = PcmFile("bgm1.wav", data);
  OpenPlaying(path);
  std::filesystem::remove(path);
  PlayAndTick(8820);
  EXPECT_EQ(Slice(Buffer()->Data(), 0, 8820), Slice(data, kCd44Bytes, 8820));
}

}  // namespace
}  // namespace velmo::testing
