// An output driven by hand, for tests and tools: the mix is produced only
// when asked, synchronously, at a rate of the caller's choice.  The caller's
// calls are the device's clock, also while the output pretends to be away:
// a device made by CreateManualAudioDevice keeps time through the same
// calls then (see ClockKeeper), and they return silence, as nothing is heard.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/audio/audio_output.h"
#include "velmo/platform/dsound.h"

namespace velmo {

class ManualOutput final : public AudioOutput {
 public:
  explicit ManualOutput(std::uint32_t sampleRate = 48000, std::uint32_t periodFrames = 512);

  std::uint32_t SampleRate() const override { return sampleRate_; }
  std::uint32_t PeriodFrames() const override { return periodFrames_; }
  bool Open(MixSource& source, OutputEvents& events) override;
  void Close() override;

  // Mixes `frames` frames now and returns them as interleaved stereo; empty
  // when the output is not open, silence while it is away.  Not to be called
  // from two threads at once.
  std::vector<std::int16_t> Render(std::size_t frames);
  std::vector<float> RenderFloat(std::size_t frames);
  // Mixes into the caller's memory, allocating nothing (for benchmarks).
  // Leaves it untouched when the output is not open.
  void RenderInto(float* stereo, std::size_t frames);

  // Pretends the sound device went away, or came back, and tells the device.
  void SimulateRemoval();
  void SimulateReopen();

  // What keeps the device's time while this output is away: the same calls
  // to Render, which then mix through the keeper and return silence.
  std::unique_ptr<AudioOutput> ClockKeeper();

 private:
  class Keeper;
  const std::uint32_t sampleRate_;
  const std::uint32_t periodFrames_;
  MixSource* source_ = nullptr;
  OutputEvents* events_ = nullptr;
  bool away_ = false;
  MixSource* keeperSource_ = nullptr;  // set while the device's keeper runs
};

// A device object on a new manual output, not yet initialised, with one
// reference.  *output points at the output the device owns, valid while the
// device lives.
IDirectSound* CreateManualAudioDevice(ManualOutput** output, std::uint32_t sampleRate = 48000,
                                      std::uint32_t periodFrames = 512);

}  // namespace velmo
