#include "platform/audio/mixing/interpolator.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/audio/mixing/cpu_dispatch.h"
#include "platform/audio/mixing/sinc_table.h"

// The kernels are written once with the compiler's vector types and
// compiled twice: for AVX2 with FMA on vectors of 8 floats, where
// `a * b + c` contracts to one fused multiply-add (this file is built with
// -ffp-contract=fast), and for plain x86-64 on vectors of 4 floats (SSE2),
// which is also the build for other processors.
// The choice is made once, at run time.

namespace velmo {

static_assert(kMaxKernelReach == sinc::kMaxReach);
static_assert(kMaxKernelStretch == sinc::kMaxStretch);

namespace {

using sinc::ScaleTable;
using sinc::UnitRow;

// The vectors never cross a call boundary outside the inlined kernels, so
// the warning that passing them by value differs between the two targets'
// ABIs does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

typedef float V8 __attribute__((vector_size(32)));
typedef float V4 __attribute__((vector_size(16)));

#define VELMO_INLINE inline __attribute__((always_inline))

template <typename V>
constexpr unsigned kLanes = sizeof(V) / sizeof(float);

template <typename V>
VELMO_INLINE V Load(const float* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The lanes of an accumulator added down to four.
VELMO_INLINE V4 Fold(V4 v) { return v; }
VELMO_INLINE V4 Fold(V8 v) {
  return __builtin_shufflevector(v, v, 0, 1, 2, 3) + __builtin_shufflevector(v, v, 4, 5, 6, 7);
}

// The fraction below the phase index, as a float in [0, 1): the 23 bits
// after the top `bits` of the 32-bit fraction, converted exactly.
VELMO_INLINE float PhaseFraction(std::uint32_t frac, unsigned bits) {
  return static_cast<float>(static_cast<std::int32_t>((frac << bits) >> 9)) * 0x1p-23f;
}

// Sums the lanes of `l` and `r` and stores the two sums as one stereo
// frame; for mono, `r` is `l` and both channels get the same sum.  The
// order of the additions is the same in both cases, so a mono source and
// the left channel of a stereo one come out identical.
template <typename V>
VELMO_INLINE void StoreFrame(V l, V r, float* out) {
  const V4 a = Fold(l), b = Fold(r);
  const V4 u = __builtin_shufflevector(a, b, 0, 4, 1, 5) + __builtin_shufflevector(a, b, 2, 6, 3, 7);
  const V4 v = u + __builtin_shufflevector(u, u, 2, 3, 0, 1);
  std::memcpy(out, &v, 2 * sizeof(float));
}

// Steps up to 1: the 24-tap unit kernel.  Weights and products are vectors
// of V (three of 8 floats for AVX2, six of 4 for SSE2); the phase fraction
// stays a scalar, which the compiler broadcasts (a vector built from it
// lane by lane goes through the stack in the SSE2 variant).
template <typename V, bool kStereo>
VELMO_INLINE std::uint64_t UnitRun(const float* __restrict left, const float* __restrict right, std::uint64_t pos,
                                   std::uint64_t step, float* __restrict out, std::size_t frames,
                                   const UnitRow* __restrict rows) {
  constexpr unsigned kBits = sinc::kUnitPhaseBits;
  constexpr unsigned kN = sinc::kUnitTaps / kLanes<V>;
  left -= sinc::kUnitBefore;
  right -= sinc::kUnitBefore;
  for (std::size_t j = 0; j < frames; ++j, pos += step) {
    const auto frac = static_cast<std::uint32_t>(pos);
    const std::size_t i = static_cast<std::size_t>(pos >> kStepFractionBits);
    const UnitRow& row = rows[frac >> (32 - kBits)];
    const float f = PhaseFraction(frac, kBits);
    V c[kN];
    for (unsigned n = 0; n < kN; ++n)
      c[n] = Load<V>(row.weight + n * kLanes<V>) + f * Load<V>(row.delta + n * kLanes<V>);
    V l = c[0] * Load<V>(left + i);
    for (unsigned n = 1; n < kN; ++n) l += c[n] * Load<V>(left + i + n * kLanes<V>);
    if constexpr (kStereo) {
      V r = c[0] * Load<V>(right + i);
      for (unsigned n = 1; n < kN; ++n) r += c[n] * Load<V>(right + i + n * kLanes<V>);
      StoreFrame(l, r, out + 2 * j);
    } else {
      StoreFrame(l, l, out + 2 * j);
    }
  }
  return pos;
}

// Steps above 1: the blend of two neighbouring scale tables, over the
// lower one's width (the upper one's kernel fits inside it).
template <typename V, bool kStereo>
VELMO_INLINE std::uint64_t ScaledRun(const float* __restrict left, const float* __restrict right, std::uint64_t pos,
                                     std::uint64_t step, float* __restrict out, std::size_t frames, const ScaleTable& a,
                                     const ScaleTable& b, float blend) {
  const unsigned width = a.width, widthB = b.width;
  const unsigned bitsA = a.phaseBits, bitsB = b.phaseBits;
  const float* __restrict rowsA = a.rows;
  const float* __restrict rowsB = b.rows + (widthB - width) / 2;
  left -= width / 2 - 1;
  right -= width / 2 - 1;
  const float t = blend;
  for (std::size_t j = 0; j < frames; ++j, pos += step) {
    const auto frac = static_cast<std::uint32_t>(pos);
    const std::size_t i = static_cast<std::size_t>(pos >> kStepFractionBits);
    const float* ra = rowsA + std::size_t(frac >> (32 - bitsA)) * 2 * width;
    const float* rb = rowsB + std::size_t(frac >> (32 - bitsB)) * 2 * widthB;
    const float fa = PhaseFraction(frac, bitsA);
    const float fb = PhaseFraction(frac, bitsB);
    V l{}, r{};
    for (unsigned k = 0; k < width; k += kLanes<V>) {
      const V ca = Load<V>(ra + k) + fa * Load<V>(ra + width + k);
      const V cb = Load<V>(rb + k) + fb * Load<V>(rb + widthB + k);
      const V c = ca + t * (cb - ca);
      l += c * Load<V>(left + i + k);
      if constexpr (kStereo) r += c * Load<V>(right + i + k);
    }
    StoreFrame(l, kStereo ? r : l, out + 2 * j);
  }
  return pos;
}

struct Kernels {
  std::uint64_t (*unitMono)(const float*, std::uint64_t, std::uint64_t, float*, std::size_t, const UnitRow*);
  std::uint64_t (*unitStereo)(const float*, const float*, std::uint64_t, std::uint64_t, float*, std::size_t,
                              const UnitRow*);
  std::uint64_t (*scaledMono)(const float*, std::uint64_t, std::uint64_t, float*, std::size_t, const ScaleTable&,
                              const ScaleTable&, float);
  std::uint64_t (*scaledStereo)(const float*, const float*, std::uint64_t, std::uint64_t, float*, std::size_t,
                                const ScaleTable&, const ScaleTable&, float);
  const char* isa;
};

#define VELMO_DEFINE_KERNELS(NAME, TARGET, V)                                                                    \
  TARGET std::uint64_t UnitMono##NAME(const float* s, std::uint64_t pos, std::uint64_t step, float* out,         \
                                      std::size_t n, const UnitRow* rows) {                                      \
    return UnitRun<V, false>(s, s, pos, step, out, n, rows);                                                     \
  }                                                                                                              \
  TARGET std::uint64_t UnitStereo##NAME(const float* l, const float* r, std::uint64_t pos, std::uint64_t step,   \
                                        float* out, std::size_t n, const UnitRow* rows) {                        \
    return UnitRun<V, true>(l, r, pos, step, out, n, rows);                                                      \
  }                                                                                                              \
  TARGET std::uint64_t ScaledMono##NAME(const float* s, std::uint64_t pos, std::uint64_t step, float* out,       \
                                        std::size_t n, const ScaleTable& a, const ScaleTable& b, float t) {      \
    return ScaledRun<V, false>(s, s, pos, step, out, n, a, b, t);                                                \
  }                                                                                                              \
  TARGET std::uint64_t ScaledStereo##NAME(const float* l, const float* r, std::uint64_t pos, std::uint64_t step, \
                                          float* out, std::size_t n, const ScaleTable& a, const ScaleTable& b,   \
                                          float t) {                                                             \
    return ScaledRun<V, true>(l, r, pos, step, out, n, a, b, t);                                                 \
  }

#if defined(__x86_64__)
VELMO_DEFINE_KERNELS(Avx2, __attribute__((target("avx2,fma"))), V8)
#endif
VELMO_DEFINE_KERNELS(Sse2, , V4)

// The mixer's one choice of instruction set (cpu_dispatch.h), so that the
// fallback can be forced, tested and measured on a machine with AVX2.
const Kernels& SelectKernels() {
  static const Kernels kernels = [] {
    const MixerIsa isa = SelectedMixerIsa();
#if defined(__x86_64__)
    if (isa == MixerIsa::kAvx2Fma)
      return Kernels{UnitMonoAvx2, UnitStereoAvx2, ScaledMonoAvx2, ScaledStereoAvx2, MixerIsaName(isa)};
#endif
    return Kernels{UnitMonoSse2, UnitStereoSse2, ScaledMonoSse2, ScaledStereoSse2, MixerIsaName(isa)};
  }();
  return kernels;
}

// The pair of scale tables a step above 1 blends, and the weight of the
// upper one.  Blending is linear in the cut-off (1 / step), so the kernel
// moves evenly from one table to the next.
struct Blend {
  const ScaleTable* lower;
  const ScaleTable* upper;
  float weight;
};

Blend BlendFor(const sinc::Tables& tables, std::uint64_t step) {
  const double s = std::ldexp(static_cast<double>(step), -kStepFractionBits);
  const ScaleTable* last = &tables.scale[sinc::kScaleCount - 1];
  if (s >= last->step) return {last, last, 0.0f};
  const double octaves = std::log2(s) * sinc::kScalesPerOctave;
  const unsigned i = std::min(static_cast<unsigned>(std::max(octaves, 0.0)), sinc::kScaleCount - 2);
  const ScaleTable& lo = tables.scale[i];
  const ScaleTable& hi = tables.scale[i + 1];
  const double w = (1.0 / lo.step - 1.0 / s) / (1.0 / lo.step - 1.0 / hi.step);
  return {&lo, &hi, static_cast<float>(std::clamp(w, 0.0, 1.0))};
}

}  // namespace

std::uint64_t InterpolatorStep(std::uint32_t sourceHz, std::uint32_t outputHz) {
  return ((std::uint64_t{sourceHz} << kStepFractionBits) + outputHz / 2) / outputHz;
}

KernelReach InterpolatorReach(std::uint64_t step) {
  if (step <= kUnitStep) return {sinc::kUnitBefore, sinc::kUnitAfter};
  const unsigned width = BlendFor(sinc::GetTables(), step).lower->width;
  return {width / 2 - 1, width / 2};
}

void PrepareInterpolator() {
  sinc::GetTables();
  SelectKernels();
}

const char* InterpolatorIsa() { return SelectKernels().isa; }

std::size_t InterpolateMono(const float* src, std::uint32_t* phase, std::uint64_t step, float* stereoOut,
                            std::size_t frames) {
  const sinc::Tables& tables = sinc::GetTables();
  const Kernels& k = SelectKernels();
  std::uint64_t pos;
  if (step <= kUnitStep) {
    pos = k.unitMono(src, *phase, step, stereoOut, frames, tables.unit.data());
  } else {
    const Blend b = BlendFor(tables, step);
    pos = k.scaledMono(src, *phase, step, stereoOut, frames, *b.lower, *b.upper, b.weight);
  }
  *phase = static_cast<std::uint32_t>(pos);
  return static_cast<std::size_t>(pos >> kStepFractionBits);
}

std::size_t InterpolateStereo(const float* left, const float* right, std::uint32_t* phase, std::uint64_t step,
                              float* stereoOut, std::size_t frames) {
  const sinc::Tables& tables = sinc::GetTables();
  const Kernels& k = SelectKernels();
  std::uint64_t pos;
  if (step <= kUnitStep) {
    pos = k.unitStereo(left, right, *phase, step, stereoOut, frames, tables.unit.data());
  } else {
    const Blend b = BlendFor(tables, step);
    pos = k.scaledStereo(left, right, *phase, step, stereoOut, frames, *b.lower, *b.upper, b.weight);
  }
  *phase = static_cast<std::uint32_t>(pos);
  return static_cast<std::size_t>(pos >> kStepFractionBits);
}

}  // namespace velmo
