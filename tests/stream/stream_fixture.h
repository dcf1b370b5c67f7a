// The stream tests' fixture: the engine on the platform double, WAVE files
// written to a temporary directory, and the stream state put back to how a
// fresh process has it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/testing/fake_platform.h"
#include "sound/stream_refill_timer.h"
#include "sound/stream_state.h"
#include "tests/sound/engine_fixture.h"
#include "tests/wave/wave_test_files.h"
#include "velmo/sound/wave_reader.h"

namespace velmo::testing {

// Resets everything the stream owns.  An open stream file is closed first
// (through the platform installed at the time), so that nothing leaks from
// one test into the next.
inline void ResetStreamState() {
  WaveReaderClose(&StreamFile, &StreamFormat);
  StreamBuffer = nullptr;
  TimerBuffer = nullptr;
  StreamRiffChunk = {};
  StreamDataChunk = {};
  StreamBufferBytes = 0;
  RefillPosition = 0;
  StreamHalting.store(0);
}

// `count` bytes of `data` repeated end to end, starting at `offset`.
inline Bytes Looped(const Bytes& data, std::size_t offset, std::size_t count) {
  Bytes out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = data[(offset + i) % data.size()];
  return out;
}

inline Bytes Slice(const std::vector<std::uint8_t>& bytes, std::size_t offset, std::size_t count) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
               bytes.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

class StreamTest : public EngineTest {
 protected:
  StreamTest() { ResetStreamState(); }
  ~StreamTest() override { ResetStreamState(); }

  // Writes a PCM file with `samples` as its data; returns its path.
  std::string PcmFile(const std::string& name, const Bytes& samples, std::uint16_t channels = 2,
                      std::uint32_t rate = 44100, std::uint16_t bits = 16) {
    return dir.Write(name, PcmWave(samples, channels, rate, bits));
  }

  // Starts the engine, opens `file` and forgets the calls made so far.
  void OpenPrimed(const std::string& file) {
    StartEngine();
    ASSERT_EQ(sound.OpenStream(file.c_str()), 1);
    fake.ClearCalls();
  }

  void OpenPlaying(const std::string& file) {
    OpenPrimed(file);
    sound.PlayStream();
    ASSERT_EQ(TimerActive, 1);
    fake.ClearCalls();
  }

  // The stream's buffer in the double.
  FakeSoundBuffer* Buffer() const { return fake.LastBuffer(); }

  // Moves the play cursor on by `bytes`, then delivers one tick.
  void PlayAndTick(DWORD bytes) {
    Buffer()->Advance(bytes);
    ASSERT_TRUE(fake.FireTimer());
  }

  TempDir dir;
};

}  // namespace velmo::testing
