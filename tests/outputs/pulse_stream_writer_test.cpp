// The native PulseAudio output's write step against a stand-in stream that
// lends its memory in pieces of a size the test sets, and refuses a call
// when told: every byte asked for is mixed once, in the mixer's passes, and
// a refusal ends the step without writing what was not lent.
#include "platform/audio/outputs/pulse_stream_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace velmo {
namespace {

// The stand-in stream: one static instance, since the calls are plain
// function pointers.
struct FakeStream {
  std::vector<float> memory = std::vector<float>(1 << 16);
  std::vector<float> played;          // what was handed back, in order
  std::size_t lendLimit = 1 << 20;    // bytes lent at most per begin_write
  int refuseBeginAfter = -1;          // begin_write calls that succeed; -1: all
  int refuseWriteAfter = -1;          // write calls that succeed; -1: all
  int begins = 0, writes = 0, cancels = 0;
  bool lent = false;
};
FakeStream fake;

int FakeBegin(pa_stream*, void** data, size_t* nbytes) {
  if (fake.refuseBeginAfter >= 0 && fake.begins >= fake.refuseBeginAfter) return -1;
  ++fake.begins;
  // Poisoned, so that memory the step did not fill shows.
  std::fill(fake.memory.begin(), fake.memory.end(), 99.0f);
  *data = fake.memory.data();
  *nbytes = std::min(*nbytes, fake.lendLimit);
  fake.lent = true;
  return 0;
}
int FakeWrite(pa_stream*, const void* data, size_t nbytes, pa_free_cb_t, int64_t, pa_seek_mode_t seek) {
  EXPECT_TRUE(fake.lent) << "a write without memory lent";
  EXPECT_EQ(data, fake.memory.data());
  EXPECT_EQ(seek, PA_SEEK_RELATIVE);
  EXPECT_EQ(nbytes % kPulseFrameBytes, 0u);
  fake.lent = false;
  if (fake.refuseWriteAfter >= 0 && fake.writes >= fake.refuseWriteAfter) return -1;
  ++fake.writes;
  const auto* samples = static_cast<const float*>(data);
  fake.played.insert(fake.played.end(), samples, samples + nbytes / sizeof(float));
  return 0;
}
int FakeCancel(pa_stream*) {
  fake.lent = false;
  ++fake.cancels;
  return 0;
}
constexpr PulseWriteCalls kCalls{&FakeBegin, &FakeWrite, &FakeCancel};

// Numbers each frame it renders (left n, right -n), and notes each pass.
class CountingSource final : public MixSource {
 public:
  void Render(float* stereo, std::size_t frames) override {
    passes.push_back(frames);
    for (std::size_t i = 0; i < frames; ++i) {
      stereo[2 * i] = static_cast<float>(next);
      stereo[2 * i + 1] = -static_cast<float>(next);
      ++next;
    }
  }
  std::vector<std::size_t> passes;
  int next = 1;
};

class PulseStreamWriter : public ::testing::Test {
 protected:
  void SetUp() override { fake = FakeStream{}; }
};

TEST_F(PulseStreamWriter, MixesEveryFrameAskedForOnceInPassesAndInPiecesOfTheLentMemory) {
  CountingSource source;
  fake.lendLimit = 300 * kPulseFrameBytes;  // less than asked: three pieces
  // 700 frames and a stray half frame, which stays for the next request.
  const std::size_t frames = WriteRequested(kCalls, nullptr, 700 * kPulseFrameBytes + 4, &source, 128);
  EXPECT_EQ(frames, 700u);
  EXPECT_EQ(fake.writes, 3);
  ASSERT_EQ(fake.played.size(), 2 * 700u);
  for (std::size_t i = 0; i < 700; ++i) {
    ASSERT_EQ(fake.played[2 * i], static_cast<float>(i + 1)) << "frame " << i;
    ASSERT_EQ(fake.played[2 * i + 1], -static_cast<float>(i + 1)) << "frame " << i;
  }
  // No pass longer than the mixer's, none crossing a piece.
  EXPECT_EQ(source.passes, (std::vector<std::size_t>{128, 128, 44, 128, 128, 44, 100}));
}

TEST_F(PulseStreamWriter, WritesSilenceWithoutASourceAndStopsAtARefusal) {
  // Lost: silence, every frame of it.
  EXPECT_EQ(WriteRequested(kCalls, nullptr, 256 * kPulseFrameBytes, nullptr, 128), 256u);
  ASSERT_EQ(fake.played.size(), 512u);
  for (float sample : fake.played) ASSERT_EQ(sample, 0.0f);

  // A stream that lends no memory after the first piece (torn down): what
  // was written is counted, and nothing is mixed past it.
  fake = FakeStream{};
  fake.lendLimit = 100 * kPulseFrameBytes;
  fake.refuseBeginAfter = 1;
  CountingSource source;
  EXPECT_EQ(WriteRequested(kCalls, nullptr, 400 * kPulseFrameBytes, &source, 128), 100u);
  EXPECT_EQ(source.next, 101);

  // A refused write is not counted.
  fake = FakeStream{};
  fake.lendLimit = 100 * kPulseFrameBytes;
  fake.refuseWriteAfter = 1;
  EXPECT_EQ(WriteRequested(kCalls, nullptr, 400 * kPulseFrameBytes, &source, 128), 100u);

  // Memory too small for a frame is given back, not written.
  fake = FakeStream{};
  fake.lendLimit = 4;
  EXPECT_EQ(WriteRequested(kCalls, nullptr, 400 * kPulseFrameBytes, &source, 128), 0u);
  EXPECT_EQ(fake.cancels, 1);
  EXPECT_EQ(fake.writes, 0);
  EXPECT_FALSE(fake.lent);
}

}  // namespace
}  // namespace velmo
