// Band-limited rate conversion of one voice: a windowed-sinc polyphase
// kernel evaluated at a source position that advances by a fixed-point step
// per output frame.
//
// The position and the step are 32.32 fixed point in source frames, so the
// pitch is exact to 2^-33 of the step (0.0001 parts per million) and the
// position drifts by less than a frame over hours.  For steps up to 1 the
// kernel has 24 taps with its cut-off at the source's Nyquist frequency;
// for larger steps it is stretched (up to a step of 4, see
// kMaxKernelStretch) with its cut-off lowered to the output's, so a pitch
// raised above the output rate does not fold back.  The kernel is a
// continuous function of the step: a glide through a step of 1 changes the
// weights smoothly.  A step of exactly 1 at phase 0 copies the input bit for
// bit (a negative zero may come out as a positive one).
//
// The kernels allocate nothing, take no lock and make no system call; they
// are safe on the mixing thread once PrepareInterpolator has run.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmo {

// Source position and step in 32.32 fixed point (frames).
constexpr int kStepFractionBits = 32;
constexpr std::uint64_t kUnitStep = std::uint64_t{1} << kStepFractionBits;

// The step that plays a source of `sourceHz` at `outputHz`, rounded to the
// nearest 2^-32 frame.  Both rates must be nonzero.
std::uint64_t InterpolatorStep(std::uint32_t sourceHz, std::uint32_t outputHz);

// How many source frames the kernel reads before and after the integer part
// of a position, for a given step (the kernel stretches for steps > 1).
struct KernelReach {
  unsigned before;
  unsigned after;
};
KernelReach InterpolatorReach(std::uint64_t step);

// Steps above this many source frames per output frame keep the kernel of
// this step: the stop band then starts above the output's Nyquist frequency
// and what lies between aliases.  Covers two octaves of pitch-up at equal
// rates; the device allows up to 200000 / 8000 = 25.
constexpr double kMaxKernelStretch = 4.0;
// The largest reach over all steps (before or after).
constexpr unsigned kMaxKernelReach = 40;

// Builds the kernel tables and selects the vector code for this processor.
// Call once before mixing starts (the device does at creation); calling it
// again, or from several threads, is harmless.
void PrepareInterpolator();

// Interpolates `frames` output frames from planar float source arrays.
// src[0..channels) each point at the source frame of integer position 0;
// the kernel may read src[c][-reach.before .. (last integer position) +
// reach.after], where the last integer position is that of output frame
// frames - 1, i.e. the integer part of *phase + (frames - 1) * step.
// `phase` is the 32-bit fraction of the start position; the function returns
// the integer number of source frames advanced over the whole run, and
// leaves the fraction of the position after the run in *phase.  Output is
// interleaved stereo; mono sources go to both channels identically.
std::size_t InterpolateMono(const float* src, std::uint32_t* phase, std::uint64_t step, float* stereoOut,
                            std::size_t frames);
std::size_t InterpolateStereo(const float* left, const float* right, std::uint32_t* phase, std::uint64_t step,
                              float* stereoOut, std::size_t frames);

// Which vector code the kernels run (MixerIsaName of the mixer's choice).
const char* InterpolatorIsa();

}  // namespace velmo
