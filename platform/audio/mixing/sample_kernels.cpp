#include "platform/audio/mixing/sample_kernels.h"

#include "platform/audio/mixing/cpu_dispatch.h"

namespace velmo {

FrameMixer MixerFor(SampleKind kind, unsigned channels) {
#if defined(__x86_64__)
  if (SelectedMixerIsa() == MixerIsa::kAvx2Fma) return kernels_avx2::MixerFor(kind, channels);
#endif
  return kernels_sse2::MixerFor(kind, channels);
}

FrameDecoder DecoderFor(SampleKind kind, unsigned channels) {
#if defined(__x86_64__)
  if (SelectedMixerIsa() == MixerIsa::kAvx2Fma) return kernels_avx2::DecoderFor(kind, channels);
#endif
  return kernels_sse2::DecoderFor(kind, channels);
}

}  // namespace velmo
