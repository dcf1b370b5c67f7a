// Rate conversion of a voice: a source position in 32.32 fixed point that
// advances by a step per output frame.  This version interpolates linearly
// between neighbouring frames.
#pragma once
#include <cstddef>
#include <cstdint>
namespace velmo {
constexpr int kStepFractionBits = 32;
std::uint64_t InterpolatorStep(std::uint32_t sourceHz, std::uint32_t outputHz);
struct KernelReach { unsigned before; unsigned after; };
KernelReach InterpolatorReach(std::uint64_t step);
constexpr unsigned kMaxKernelReach = 2;
void PrepareInterpolator();
std::size_t InterpolateMono(const float* src, std::uint32_t* phase, std::uint64_t step, float* stereoOut, std::size_t frames);
std::size_t InterpolateStereo(const float* left, const float* right, std::uint32_t* phase, std::uint64_t step, float* stereoOut, std::size_t frames);
}
