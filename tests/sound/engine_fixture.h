// A fixture that runs the library against the platform double, with the
// engine-wide state put back to how a fresh process has it.
#pragma once

#include <gtest/gtest.h>

#include "platform/testing/fake_platform.h"
#include "sound/engine_state.h"
#include "sound/stream_state.h"
#include "velmo/sound/vs_sound.h"

namespace velmo::testing {

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() : installed_(fake) { ResetEngineState(); }
  ~EngineTest() override { ResetEngineState(); }

  static void ResetEngineState() {
    DSoundReady = 0;
    DSoundObject = nullptr;
    StreamLock.store(0);
    TimerActive = 0;
    StreamPlaying = 0;
    StreamOpen = 0;
    TimerId = 0;
  }

  // Starts the engine on the double and forgets the start-up calls.
  void StartEngine() {
    ASSERT_EQ(sound.InitDSound(window), 1);
    fake.ClearCalls();
  }

  FakePlatform fake;
  VSSound sound{};
  HWND window = reinterpret_cast<HWND>(0x5151);

 private:
  ScopedPlatform installed_;
};

}  // namespace velmo::testing
