// The mixer's inner loops for processors with AVX2 and FMA; this file is
// compiled with -mavx2 -mfma, and nothing in it runs unless the processor
// has both (cpu_dispatch.cpp decides).
#include <immintrin.h>

#include <bit>
#include <cstring>

#include "platform/audio/mixing/sample_kernels.h"

namespace velmo::kernels_avx2 {
namespace {
#include "platform/audio/mixing/sample_kernels.inc"
}  // namespace

FrameMixer MixerFor(SampleKind kind, unsigned channels) { return MixerForKind(kind, channels); }
FrameDecoder DecoderFor(SampleKind kind, unsigned channels) { return DecoderForKind(kind, channels); }

}  // namespace velmo::kernels_avx2
