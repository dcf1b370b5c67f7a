// An output with no sound card behind it, paced by a thread of its own so
// that buffers play, and their cursors move, in real time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio/audio_output.h"

namespace velmo {

// When each period of a paced output is due.  Periods are due on absolute
// times, one period apart, so the pace does not drift with the time each mix
// takes.  A thread that wakes late (a busy machine) mixes the periods it
// owes back to back until it is on time again: the music and the cursors
// are then where real time has taken them, which is what an output that
// keeps a device's time is for.  Only a gap longer than kCatchUpLimit (a
// suspended machine, a debugger) is skipped, and the schedule starts again
// from the moment it was seen.
class PaceSchedule {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kCatchUpLimit{2};

  PaceSchedule(Clock::duration period, Clock::time_point start) : period_(period), due_(start) {}

  // After a period has been mixed at `now`: when the next is due (at or
  // before `now` while periods are owed).
  Clock::time_point Next(Clock::time_point now) {
    due_ += period_;
    if (now - due_ > kCatchUpLimit) due_ = now;
    return due_;
  }

 private:
  const Clock::duration period_;
  Clock::time_point due_;
};

class PacedOutput : public AudioOutput {
 public:
  PacedOutput(std::uint32_t sampleRate, std::uint32_t periodFrames);
  ~PacedOutput() override;

  std::uint32_t SampleRate() const override { return sampleRate_; }
  std::uint32_t PeriodFrames() const override { return periodFrames_; }
  bool Open(MixSource& source, OutputEvents& events) override;
  void Close() override;

 protected:
  // Called before the thread starts; false refuses to open.
  virtual bool Prepare() { return true; }
  // Receives each period's mix on the pacing thread.
  virtual void Consume(const float* stereo, std::size_t frames) = 0;
  // Called once the thread has stopped.
  virtual void Finish() {}

 private:
  void Run();

  const std::uint32_t sampleRate_;
  const std::uint32_t periodFrames_;
  MixSource* source_ = nullptr;
  std::vector<float> period_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
};

}  // namespace velmo
