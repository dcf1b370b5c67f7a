// Thousands of open / play / stop cycles on the real platform (the software
// device on the null output, the real timer thread), with extra ticks
// arriving from a second thread at any moment as a late timer would deliver
// them.  Built with the thread sanitizer this must report no race; in any
// build it must neither deadlock nor leave anything open.
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/system_platform.h"
#include "sound/engine_state.h"
#include "sound/stream_refill_timer.h"
#include "sound/stream_state.h"
#include "tests/wave/wave_test_files.h"
#include "velmo/sound/vs_sound.h"

namespace velmo::testing {
namespace {

int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
  }
  return count;
}

TEST(StreamThreadStress, OpenPlayStopCyclesAgainstTheRealTimerStayRaceFreeAndLeaveNothingOpen) {
  TempDir dir;
  const std::string files[] = {
      dir.Write("bgm1.wav", PcmWave(Pattern(300000), 2, 44100, 16)),
      dir.Write("bgm2.wav", PcmWave(Pattern(10001, 5), 1, 22050, 8)),
  };
  auto& timer = static_cast<SystemPlatform&>(SystemPlatformInstance()).Timer();
  const int descriptorsBefore = OpenDescriptors();

  VSSound sound{};
  ASSERT_EQ(sound.InitDSound(reinterpret_cast<HWND>(0x5151)), 1) << "VELMO_AUDIO_OUTPUT=null expected";
  ASSERT_EQ(sound.OpenStream(files[0].c_str()), 1);
  sound.PlayStream();
  ASSERT_EQ(TimerActive, 1);
  sound.StopStream();

  // From here on StreamLock guards every use of the stream state, so a tick
  // may arrive at any moment.
  std::atomic<bool> done{false};
  std::atomic<int> extraTicks{0};
  std::thread lateTicks([&] {
    while (!done.load()) {
      VSTimeRunFuncForDSound(0, 0, 0, 0, 0);
      extraTicks.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });

  constexpr int kCycles = 3000;
  int opened = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    if (cycle % 5 == 0) opened += sound.OpenStream(files[(cycle / 5) % 2].c_str());
    sound.PlayStream();
    if (cycle % 3 == 0) sound.PlayStream();  // a restart while playing
    if (cycle % 250 == 0) {
      // Long enough for the real timer to deliver a few ticks of its own.
      std::this_thread::sleep_for(std::chrono::milliseconds(180));
    }
    sound.StopStream();
    ASSERT_EQ(StreamPlaying, 0);
    ASSERT_EQ(TimerActive, 0);
    ASSERT_EQ(StreamLock.load(), 1);
  }
  sound.PlayStream();
  sound.CloseDSound();
  done.store(true);
  lateTicks.join();

  EXPECT_EQ(opened, kCycles / 5);
  EXPECT_GT(extraTicks.load(), 0);
  EXPECT_EQ(StreamOpen, 0);
  EXPECT_EQ(StreamFile, nullptr);
  EXPECT_EQ(StreamFormat, nullptr);
  EXPECT_EQ(StreamBuffer, nullptr);
  EXPECT_EQ(DSoundObject, nullptr);
  EXPECT_EQ(timer.OpenPeriods(), 0);
  EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
}

}  // namespace
}  // namespace velmo::testing
