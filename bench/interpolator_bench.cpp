// Cost of the interpolator alone per output frame (mono and stereo sources,
// interleaved stereo out), at the steps the mixer meets most: 44.1 kHz
// sources on a 48 kHz output and the reverse, a step of exactly 1, and a
// pitch raised an octave (the stretched kernel).
//
//   build/default/bench/bench_interpolator
//
// Each iteration converts one 512-frame period, carrying the phase on and
// wrapping round a 64 Ki-frame source so the loads stay cache-resident as
// in a mixer that walks a voice's buffer.  Counter `per_frame`: ns per
// output frame.  BM_CopyStereoBaseline copies the same number of stereo
// frames, for scale.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "platform/audio/mixing/interpolator.h"

namespace {

using namespace velmo;

constexpr std::size_t kPeriod = 512;
constexpr std::size_t kSourceFrames = 1 << 16;

struct Source {
  std::vector<float> left, right;
  Source() : left(kSourceFrames + 4 * kPeriod), right(kSourceFrames + 4 * kPeriod) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> d(-0.5f, 0.5f);
    for (std::size_t i = 0; i < left.size(); ++i) left[i] = d(rng), right[i] = d(rng);
  }
};

std::uint64_t StepOf(const benchmark::State& state) {
  return InterpolatorStep(static_cast<std::uint32_t>(state.range(0)), static_cast<std::uint32_t>(state.range(1)));
}

template <bool kStereo>
void Interpolate(benchmark::State& state) {
  PrepareInterpolator();
  const std::uint64_t step = StepOf(state);
  static const Source source;
  std::vector<float> out(2 * kPeriod);
  std::size_t at = kMaxKernelReach;
  std::uint32_t phase = 0x12345678;
  for (auto _ : state) {
    if (kStereo)
      at += InterpolateStereo(source.left.data() + at, source.right.data() + at, &phase, step, out.data(), kPeriod);
    else
      at += InterpolateMono(source.left.data() + at, &phase, step, out.data(), kPeriod);
    if (at > kSourceFrames) at -= kSourceFrames - kMaxKernelReach;
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.counters["per_frame"] = benchmark::Counter(double(state.iterations()) * kPeriod,
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetLabel(InterpolatorIsa());
}

void BM_CopyStereoBaseline(benchmark::State& state) {
  static const Source source;
  std::vector<float> out(2 * kPeriod);
  std::size_t at = 0;
  for (auto _ : state) {
    std::memcpy(out.data(), source.left.data() + at, sizeof(float) * 2 * kPeriod);
    at = (at + 2 * kPeriod) % kSourceFrames;
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.counters["per_frame"] = benchmark::Counter(double(state.iterations()) * kPeriod,
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Arguments: source rate, output rate (the step is their ratio).
void Steps(benchmark::internal::Benchmark* b) {
  b->ArgNames({"from", "to"});
  b->Args({44100, 48000});
  b->Args({48000, 44100});
  b->Args({48000, 48000});
  b->Args({88200, 44100});
}

void BM_InterpolateMono(benchmark::State& state) { Interpolate<false>(state); }
void BM_InterpolateStereo(benchmark::State& state) { Interpolate<true>(state); }

BENCHMARK(BM_CopyStereoBaseline);
BENCHMARK(BM_InterpolateMono)->Apply(Steps);
BENCHMARK(BM_InterpolateStereo)->Apply(Steps);

}  // namespace

BENCHMARK_MAIN();
