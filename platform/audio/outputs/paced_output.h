// An output with no sound card behind it, paced by a thread of its own so
// that buffers play, and their cursors move, in real time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio/audio_output.h"

namespace velmo {

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
