#include "platform/audio/mixing/sample_kernels.h"

#include <cstdlib>
#include <cstring>

namespace velmo {
namespace {

// Asked of the processor once.  VELMO_MIXER_ISA=sse2 keeps the portable
// build, to compare the two or to rule the vector code out.
bool UseAvx2() {
  static const bool use = [] {
    const char* isa = std::getenv("VELMO_MIXER_ISA");
    if (isa != nullptr && std::strcmp(isa, "sse2") == 0) return false;
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  }();
  return use;
}

}  // namespace

FrameMixer MixerFor(SampleKind kind, unsigned channels) {
  return UseAvx2() ? kernels_avx2::MixerFor(kind, channels) : kernels_sse2::MixerFor(kind, channels);
}

FrameDecoder DecoderFor(SampleKind kind, unsigned channels) {
  return UseAvx2() ? kernels_avx2::DecoderFor(kind, channels) : kernels_sse2::DecoderFor(kind, channels);
}

}  // namespace velmo
