// Rate conversion of one voice's stereo signal, through speexdsp's resampler.
#pragma once

#include <cstdint>
#include <memory>

struct SpeexResamplerState_;

namespace velmo {

// A stereo float resampler.  Creating it and changing its rates may allocate
// and must happen off the mixing thread; Restart and Process never allocate.
class StereoResampler {
 public:
  // Returns null when speexdsp refuses the rates or runs out of memory.
  static std::unique_ptr<StereoResampler> Create(std::uint32_t inRate, std::uint32_t outRate);
  ~StereoResampler();
  StereoResampler(const StereoResampler&) = delete;
  StereoResampler& operator=(const StereoResampler&) = delete;

  // Changes the conversion ratio; the filter history is kept so that a rate
  // change while playing does not click.  Returns false if speexdsp failed.
  bool SetRates(std::uint32_t inRate, std::uint32_t outRate);

  // Forgets the history and arranges for the first output frame to line up
  // with the first input frame, for a fresh start or a jump.
  void Restart();

  // How many input frames the filter holds back; feeding that many silent
  // frames after the last real one brings the whole signal out.
  std::uint32_t InputLatency() const;

  // Converts up to *inFrames frames into at most *outFrames frames, and sets
  // both to the counts consumed and produced.
  void Process(const float* in, std::uint32_t* inFrames, float* out, std::uint32_t* outFrames);

 private:
  explicit StereoResampler(SpeexResamplerState_* state) : state_(state) {}
  SpeexResamplerState_* state_;
};

}  // namespace velmo
