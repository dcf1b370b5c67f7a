#include "platform/audio/resampler.h"

#include <speex/speex_resampler.h>

namespace velmo {

// Quality 4 is speexdsp's own default: about 80 dB of stop-band rejection
// with a 64-tap filter (32 frames of look-ahead), a good balance for game
// sound effects mixed in real time on a small machine.
constexpr int kResamplerQuality = SPEEX_RESAMPLER_QUALITY_DEFAULT;

std::unique_ptr<StereoResampler> StereoResampler::Create(std::uint32_t inRate, std::uint32_t outRate) {
  int error = 0;
  SpeexResamplerState* state = speex_resampler_init(2, inRate, outRate, kResamplerQuality, &error);
  if (state == nullptr || error != RESAMPLER_ERR_SUCCESS) {
    if (state != nullptr) speex_resampler_destroy(state);
    return nullptr;
  }
  return std::unique_ptr<StereoResampler>(new StereoResampler(state));
}

StereoResampler::~StereoResampler() { speex_resampler_destroy(state_); }

bool StereoResampler::SetRates(std::uint32_t inRate, std::uint32_t outRate) {
  return speex_resampler_set_rate(state_, inRate, outRate) == RESAMPLER_ERR_SUCCESS;
}

void StereoResampler::Restart() {
  speex_resampler_reset_mem(state_);
  speex_resampler_skip_zeros(state_);
}

std::uint32_t StereoResampler::InputLatency() const {
  return static_cast<std::uint32_t>(speex_resampler_get_input_latency(state_));
}

void StereoResampler::Process(const float* in, std::uint32_t* inFrames, float* out, std::uint32_t* outFrames) {
  spx_uint32_t inLen = *inFrames, outLen = *outFrames;
  speex_resampler_process_interleaved_float(state_, in, &inLen, out, &outLen);
  *inFrames = inLen;
  *outFrames = outLen;
}

}  // namespace velmo
