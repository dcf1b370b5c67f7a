// The mixer's inner loops for every processor: the baseline of the target
// (SSE2 on x86-64).
#include <bit>
#include <cstring>

#include "platform/audio/mixing/sample_kernels.h"

namespace velmo::kernels_sse2 {
namespace {
#include "platform/audio/mixing/sample_kernels.inc"
}  // namespace

FrameMixer MixerFor(SampleKind kind, unsigned channels) { return MixerForKind(kind, channels); }
FrameDecoder DecoderFor(SampleKind kind, unsigned channels) { return DecoderForKind(kind, channels); }

}  // namespace velmo::kernels_sse2
