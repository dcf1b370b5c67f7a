// Twenty seconds of a 44.1 kHz 16-bit stream played in real time through the
// real timer thread and the software device's capture output.  The captured
// right channel must be the file's right channel looped end to end, sample
// for sample, from the moment the stream starts until it is stopped: no gap
// at the loop points, no refill that came too late.  Run once on a quiet
// machine and once with two busy processes loading both cores.  The mixer
// never leaves a voice out of a period, so the capture has no gap either:
// the walk below still counts and prints gaps, so that one would be seen
// for what it is, and asserts there are none.
//
// This takes about 45 seconds of real time, so it is not part of the
// default suite: configure with -DVELMO_REALTIME_TESTS=ON to register it
// (label "realtime"), or run the program directly.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "sound/engine_state.h"
#include "sound/stream_state.h"
#include "tests/stream/simulated_playback.h"
#include "tests/wave/wave_test_files.h"
#include "velmo/sound/vs_sound.h"

namespace velmo::testing {
namespace {

constexpr std::uint32_t kRate = 44100;
constexpr int kPlaySeconds = 20;
// 3.3 seconds of data: not a multiple of the 211680-byte buffer, so every
// loop point falls somewhere else in it.
constexpr std::size_t kDataBytes = 582120;

std::int16_t RightOf(const Bytes& data, std::size_t frame) {
  const std::size_t at = (frame * 4) % data.size() + 2;
  return static_cast<std::int16_t>(data[at] | (data[at + 1] << 8));
}

// The interleaved 16-bit frames of a captured WAVE file.
std::vector<std::int16_t> ReadCapture(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t at = 12;
  while (at + 8 <= file.size()) {
    const std::uint32_t size = file[at + 4] | (file[at + 5] << 8) | (file[at + 6] << 16) |
                               (static_cast<std::uint32_t>(file[at + 7]) << 24);
    if (std::equal(file.begin() + at, file.begin() + at + 4, "data")) {
      const std::size_t end = std::min<std::size_t>(file.size(), at + 8 + size);
      std::vector<std::int16_t> samples((end - at - 8) / 2);
      for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(file[at + 8 + 2 * i] | (file[at + 9 + 2 * i] << 8));
      return samples;
    }
    at += 8 + size + (size & 1);
  }
  return {};
}

// Two processes that keep both cores busy until destroyed.
class BusyProcesses {
 public:
  explicit BusyProcesses(int count) {
    for (int i = 0; i < count; ++i) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        volatile unsigned long spin = 0;
        for (;;) spin = spin + 1;
      }
      if (pid > 0) pids_.push_back(pid);
    }
  }
  ~BusyProcesses() {
    for (pid_t pid : pids_) ::kill(pid, SIGKILL);
    for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
  }
  std::size_t Count() const { return pids_.size(); }

 private:
  std::vector<pid_t> pids_;
};

void PlayAndCompare(bool loaded) {
  TempDir dir;
  Bytes data = RandomBytes(kDataBytes, 2026);
  data[2] = 0x34;  // the first right sample is not silence, so the start can be found
  data[3] = 0x12;
  const std::string file = dir.Write("bgm1.wav", PcmWave(data, 2, kRate, 16));
  const std::string capture = (dir.Path() / "capture.wav").string();
  ::setenv("VELMO_AUDIO_OUTPUT", ("capture:" + capture).c_str(), 1);

  DSoundReady = 0;
  DSoundObject = nullptr;
  {
    BusyProcesses load(loaded ? 2 : 0);
    VSSound sound{};
    ASSERT_EQ(sound.InitDSound(reinterpret_cast<HWND>(0x5151)), 1);
    ASSERT_EQ(sound.OpenStream(file.c_str()), 1);
    sound.PlayStream();
    ASSERT_EQ(TimerActive, 1);
    std::this_thread::sleep_for(std::chrono::seconds(kPlaySeconds));
    sound.StopStream();
    // A little silence after the stop shows where the stream ended.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sound.CloseDSound();
  }

  const std::vector<std::int16_t> captured = ReadCapture(capture);
  const std::size_t frames = captured.size() / 2;
  ASSERT_GT(frames, static_cast<std::size_t>(kPlaySeconds) * kRate);

  // The stream starts where 256 frames in a row match the file's start.
  std::size_t start = 0;
  for (; start + 256 < frames; ++start) {
    std::size_t k = 0;
    while (k < 256 && captured[2 * (start + k) + 1] == RightOf(data, k)) ++k;
    if (k == 256) break;
  }
  ASSERT_LT(start + 256, frames) << "the stream's first samples are not in the capture";

  // Walk the capture against the file looped.  A run of silent frames where
  // the file is not silent, after which the file goes on exactly where it
  // stopped, would be a period the mixer left the voice out of: the
  // stream's data still whole and in order, but a gap to the listener.  Any
  // other difference
  // ends the walk; only the silence of the stopped stream may follow it.
  std::size_t at = start;   // capture frame
  std::size_t played = 0;   // file frames played, looped
  std::size_t gaps = 0;
  std::size_t gapFrames = 0;
  while (at < frames) {
    if (captured[2 * at + 1] == RightOf(data, played)) {
      ++at;
      ++played;
      continue;
    }
    std::size_t zeros = 0;
    while (at + zeros < frames && captured[2 * (at + zeros) + 1] == 0) ++zeros;
    if (zeros == 0 || at + zeros == frames || captured[2 * (at + zeros) + 1] != RightOf(data, played)) break;
    ++gaps;
    gapFrames += zeros;
    std::printf("  gap of %zu frames at %.3f s\n", zeros, static_cast<double>(at - start) / kRate);
    at += zeros;
  }
  std::size_t silentAfter = 0;
  while (at + silentAfter < frames && captured[2 * (at + silentAfter) + 1] == 0) ++silentAfter;
  const std::size_t loops = played * 4 / data.size();
  std::printf("%s: stream starts at frame %zu; %zu frames (%.3f s) of the file looped, %zu loop points, "
              "%zu gaps (%zu frames) where the voice was left out; then %zu silent frames of %zu left\n",
              loaded ? "loaded" : "quiet", start, played, static_cast<double>(played) / kRate, loops, gaps,
              gapFrames, silentAfter, frames - at);

  // From the start to the stop the capture is the file, every sample in
  // order; after that only the silence of the stopped stream.
  EXPECT_GE(played + gapFrames, static_cast<std::size_t>(kPlaySeconds) * kRate - kRate / 10);
  EXPECT_GE(loops, 5u);
  EXPECT_EQ(at + silentAfter, frames) << "a frame that is neither the file nor the stopped stream";
  // A silent period after which the file resumes at the very frame it left
  // would be a period the mixer skipped; a refill that came too late would
  // show stale data instead and end the walk above.
  EXPECT_EQ(gaps, 0u) << "periods in which the mixer left the voice out";
}

TEST(StreamRealTime, TheCapturedRightChannelIsTheFileLoopedSampleForSample) { PlayAndCompare(false); }

TEST(StreamRealTime, WhileBothCoresAreBusyTheCaptureIsStillExact) { PlayAndCompare(true); }

}  // namespace
}  // namespace velmo::testing
