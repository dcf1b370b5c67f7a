// Which build of the mixer's vector kernels runs: one choice for the whole
// mixer, made once per process, so that the sample kernels and the
// interpolator never run builds for different instruction sets.
#pragma once

namespace velmo {

enum class MixerIsa {
  kPortable,  // the baseline of the target: SSE2 on x86-64
  kAvx2Fma,   // x86-64 with AVX2 and FMA
};

// The best build this processor runs, unless VELMO_MIXER_ISA=sse2 (or
// =portable) forces the baseline, to compare the two or to rule the vector
// code out.  On processors other than x86-64 it is always the baseline.
MixerIsa SelectedMixerIsa();

// "avx2+fma" or "sse2" (on x86-64; "portable" elsewhere), for reports.
const char* MixerIsaName(MixerIsa isa);

}  // namespace velmo
