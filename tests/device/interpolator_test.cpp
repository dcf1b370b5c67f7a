// The voice interpolator's contract: a step of 1 copies, the pitch is exact
// over an hour, a glide through a step of 1 is smooth, and the kernel reads
// nothing outside the reach it announces.
#include "platform/audio/mixing/interpolator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace velmo {
namespace {

constexpr std::size_t kMargin = kMaxKernelReach;

// Runs the stereo kernel over `left` and `right` (from kMargin on) in runs
// of `run` frames, carrying the phase, and sets *advanced to the frames
// consumed.
std::vector<float> Stereo(const std::vector<float>& left, const std::vector<float>& right, std::uint64_t step,
                          std::size_t frames, std::size_t run, std::uint32_t* phase, std::size_t* advanced) {
  std::vector<float> out(2 * frames);
  std::size_t at = kMargin;
  for (std::size_t done = 0; done < frames; done += run) {
    const std::size_t n = std::min(run, frames - done);
    at += InterpolateStereo(left.data() + at, right.data() + at, phase, step, out.data() + 2 * done, n);
  }
  *advanced = at - kMargin;
  return out;
}

TEST(InterpolatorTest, StepOfOneAtPhaseZeroCopiesBitForBit) {
  PrepareInterpolator();
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> real(-1.0f, 1.0f);
  std::uniform_int_distribution<int> pcm(-32768, 32767);
  constexpr std::size_t kFrames = 20000;
  for (bool fromPcm : {false, true}) {
    SCOPED_TRACE(fromPcm ? "16-bit values" : "random floats");
    std::vector<float> left(kFrames + 2 * kMargin), right(left.size());
    for (std::size_t i = 0; i < left.size(); ++i) {
      left[i] = fromPcm ? pcm(rng) * (1.0f / 32768.0f) : real(rng) * 4.0f;
      right[i] = fromPcm ? pcm(rng) * (1.0f / 32768.0f) : real(rng) * 1e-30f;  // denormal-free tiny values too
    }
    std::uint32_t phase = 0;
    std::size_t advanced = 0;
    const std::vector<float> out = Stereo(left, right, kUnitStep, kFrames, 333, &phase, &advanced);
    EXPECT_EQ(advanced, kFrames);
    EXPECT_EQ(phase, 0u);
    std::vector<float> mono(2 * kFrames);
    std::uint32_t monoPhase = 0;
    EXPECT_EQ(InterpolateMono(left.data() + kMargin, &monoPhase, kUnitStep, mono.data(), kFrames), kFrames);
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < kFrames; ++i) {
      mismatches += std::memcmp(&out[2 * i], &left[kMargin + i], 4) != 0;
      mismatches += std::memcmp(&out[2 * i + 1], &right[kMargin + i], 4) != 0;
      mismatches += std::memcmp(&mono[2 * i], &left[kMargin + i], 4) != 0;
      mismatches += std::memcmp(&mono[2 * i + 1], &left[kMargin + i], 4) != 0;
    }
    EXPECT_EQ(mismatches, 0u);
  }
}

// An hour of output in 4096-frame runs: the integer frames returned plus
// the final phase must be the exact rational position.  The source wraps
// round a short array (its content does not matter here).
TEST(InterpolatorTest, PositionAfterAnHourIsExactToAFractionOfAFrame) {
  PrepareInterpolator();
  struct Case {
    std::uint32_t from, to;
  };
  for (const Case c : {Case{44100, 48000}, Case{48000, 44100}}) {
    SCOPED_TRACE(std::to_string(c.from) + " -> " + std::to_string(c.to));
    const std::uint64_t step = InterpolatorStep(c.from, c.to);
    constexpr std::size_t kRun = 4096;
    std::vector<float> source(3 * kRun + 2 * kMargin, 0.25f), out(2 * kRun);
    std::uint32_t phase = 0;
    std::uint64_t total = 0;
    std::size_t at = kMargin;
    const std::uint64_t frames = std::uint64_t{c.to} * 3600;
    for (std::uint64_t done = 0; done < frames; done += kRun) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kRun, frames - done));
      const std::size_t advanced = InterpolateMono(source.data() + at, &phase, step, out.data(), n);
      total += advanced;
      at = kMargin + (at - kMargin + advanced) % kRun;
    }
    EXPECT_FLOAT_EQ(out[0], 0.25f);
    const double position = double(total) + std::ldexp(double(phase), -32);
    EXPECT_NEAR(position, double(c.from) * 3600, 0.05);
  }
}

// A 1 kHz tone at a 48 kHz source while the step glides up and back down,
// changing every 32 frames: once from 0.95 to 1.05, passing exactly 1 on
// the way, and once from 0.5 to 4.5, across every scale table.  A sine's
// sample-to-sample step is at most 2 A sin(w / 2) and its second difference
// at most A w^2 (w for the step of the moment); a jump between kernels, a
// tap off by one or a lost fraction breaks the second bound many times over.
TEST(InterpolatorTest, GlideThroughUnitStepHasNoClick) {
  PrepareInterpolator();
  constexpr double kAmp = 0.5, kHz = 1000, kRate = 48000;
  constexpr std::size_t kRun = 32, kRuns = 3000;
  std::vector<float> left(kRuns * kRun * 5 + 2 * kMargin), right(left.size());
  for (std::size_t i = 0; i < left.size(); ++i) {
    left[i] = static_cast<float>(kAmp * std::sin(2 * std::numbers::pi * kHz * (double(i) - kMargin) / kRate));
    right[i] = -left[i];
  }
  struct Glide {
    double from, to;
  };
  for (const Glide g : {Glide{0.95, 1.05}, Glide{0.5, 4.5}}) {
    SCOPED_TRACE("glide from " + std::to_string(g.from) + " to " + std::to_string(g.to));
    std::vector<float> out(2 * kRun * kRuns);
    std::vector<double> steps(kRuns);
    std::uint32_t phase = 0x9e3779b9u;
    std::size_t at = kMargin;
    bool crossedExactly = false;
    for (std::size_t r = 0; r < kRuns; ++r) {
      const double x = double(r) / (kRuns / 2);  // 0..2
      steps[r] = g.from + (g.to - g.from) * (x <= 1 ? x : 2 - x);
      std::uint64_t step = static_cast<std::uint64_t>(std::llround(std::ldexp(steps[r], 32)));
      if (g.from < 1 && steps[r] >= 1 && !crossedExactly) step = kUnitStep, steps[r] = 1, crossedExactly = true;
      at += InterpolateStereo(left.data() + at, right.data() + at, &phase, step, out.data() + 2 * kRun * r, kRun);
    }
    ASSERT_TRUE(crossedExactly);
    double worstStep = 0, worstCurvature = 0;  // against their bounds
    for (std::size_t i = 2; i < kRun * kRuns; ++i) {
      const double s = std::max(steps[i / kRun], steps[(i - 2) / kRun]);
      const double w = 2 * std::numbers::pi * kHz * s / kRate;
      const double y0 = out[2 * (i - 2)], y1 = out[2 * (i - 1)], y2 = out[2 * i];
      worstStep = std::max(worstStep, std::fabs(y2 - y1) / (2 * kAmp * std::sin(w / 2)));
      worstCurvature = std::max(worstCurvature, std::fabs(y2 - 2 * y1 + y0) / (kAmp * w * w));
      ASSERT_EQ(out[2 * i + 1], -out[2 * i]) << "frame " << i;
    }
    EXPECT_LT(worstStep, 1.002);
    EXPECT_LT(worstCurvature, 1.2);
  }
}

// Every sample outside [-before, last + after] is a NaN: a kernel that read
// one, even with a zero weight, would put a NaN in the output.
TEST(InterpolatorTest, ReadsOnlyWithinItsReach) {
  PrepareInterpolator();
  constexpr std::size_t kFrames = 700;
  const double steps[] = {0.01, 0.5, 0.9187, 1.0, 1.0001, 1.0884, 1.5, 2.0, 3.9, 4.0, 4.5, 25.0};
  for (double s : steps) {
    const std::uint64_t step = static_cast<std::uint64_t>(std::ldexp(s, 32));
    const KernelReach reach = InterpolatorReach(step);
    SCOPED_TRACE("step " + std::to_string(s));
    ASSERT_LE(reach.before, kMaxKernelReach);
    ASSERT_LE(reach.after, kMaxKernelReach);
    const std::uint32_t startPhase = 0xfffff000u;
    const std::size_t last = static_cast<std::size_t>((startPhase + (kFrames - 1) * step) >> 32);
    const std::size_t size = reach.before + last + reach.after + 1;
    std::vector<float> left(size + 2 * kMargin, std::numeric_limits<float>::quiet_NaN()), right = left;
    for (std::size_t i = kMargin; i < kMargin + size; ++i) left[i] = 0.5f, right[i] = -0.25f;
    const float* l = left.data() + kMargin + reach.before;
    const float* r = right.data() + kMargin + reach.before;
    std::vector<float> out(2 * kFrames), mono(2 * kFrames);
    std::uint32_t phase = startPhase, monoPhase = startPhase;
    const std::size_t advanced = InterpolateStereo(l, r, &phase, step, out.data(), kFrames);
    EXPECT_EQ(InterpolateMono(l, &monoPhase, step, mono.data(), kFrames), advanced);
    EXPECT_EQ(phase, monoPhase);
    EXPECT_EQ(advanced, static_cast<std::size_t>((startPhase + kFrames * step) >> 32));
    for (std::size_t i = 0; i < kFrames; ++i) {
      // A constant comes out as itself at any phase, within rounding.
      ASSERT_NEAR(out[2 * i], 0.5f, 1e-5f) << "frame " << i;
      ASSERT_NEAR(out[2 * i + 1], -0.25f, 1e-5f) << "frame " << i;
      ASSERT_NEAR(mono[2 * i + 1], 0.5f, 1e-5f) << "frame " << i;
    }
  }
}

}  // namespace
}  // namespace velmo
