// The builds of the mixer's inner loops, one per instruction set.
#pragma once

#include "platform/audio/mixing/sample_format.h"

namespace velmo {
namespace kernels_sse2 {
FrameMixer MixerFor(SampleKind kind, unsigned channels);
FrameDecoder DecoderFor(SampleKind kind, unsigned channels);
}  // namespace kernels_sse2
namespace kernels_avx2 {
FrameMixer MixerFor(SampleKind kind, unsigned channels);
FrameDecoder DecoderFor(SampleKind kind, unsigned channels);
}  // namespace kernels_avx2
}  // namespace velmo
