#include "platform/audio/interpolator.h"
namespace velmo {
std::uint64_t InterpolatorStep(std::uint32_t s, std::uint32_t o) { return ((static_cast<std::uint64_t>(s) << 32) + o / 2) / o; }
KernelReach InterpolatorReach(std::uint64_t) { return {1, 1}; }
void PrepareInterpolator() {}
std::size_t InterpolateMono(const float* src, std::uint32_t* phase, std::uint64_t step, float* out, std::size_t frames) {
  std::uint64_t pos = *phase;
  for (std::size_t i = 0; i < frames; ++i, pos += step) {
    std::size_t k = pos >> 32; float f = static_cast<std::uint32_t>(pos) * (1.0f / 4294967296.0f);
    float v = src[k] + f * (src[k + 1] - src[k]);
    out[2 * i] = v; out[2 * i + 1] = v;
  }
  *phase = static_cast<std::uint32_t>(pos); return pos >> 32;
}
std::size_t InterpolateStereo(const float* l, const float* r, std::uint32_t* phase, std::uint64_t step, float* out, std::size_t frames) {
  std::uint64_t pos = *phase;
  for (std::size_t i = 0; i < frames; ++i, pos += step) {
    std::size_t k = pos >> 32; float f = static_cast<std::uint32_t>(pos) * (1.0f / 4294967296.0f);
    out[2 * i] = l[k] + f * (l[k + 1] - l[k]); out[2 * i + 1] = r[k] + f * (r[k + 1] - r[k]);
  }
  *phase = static_cast<std::uint32_t>(pos); return pos >> 32;
}
}
