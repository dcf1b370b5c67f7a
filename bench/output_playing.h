// What the native outputs' playing benchmarks share: an output opened on a
// real server, mixing silence, and what the thread that mixes allocates
// while it plays.  Include it in one file of a benchmark program, after
// allocation_counter.h's single inclusion (it uses its counters).
#pragma once

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "bench/allocation_counter.h"
#include "platform/audio/audio_output.h"

namespace velmo::bench {

// Silence, each pass counted.  The thread that mixes counts its own
// allocations from its first pass on.
class ThreadCountingSource final : public MixSource {
 public:
  void Render(float* stereo, std::size_t frames) override {
    countingHere = true;
    for (std::size_t i = 0; i < 2 * frames; ++i) stereo[i] = 0.0f;
    renders.fetch_add(1, std::memory_order_relaxed);
  }
  std::atomic<long> renders{0};
};

class NoEvents final : public OutputEvents {
 public:
  void OnOutputLost() override {}
  void OnOutputRestored() override {}
};

// Opens `output` on `source` and waits up to 5 s for its first `passes`
// mixes.  False, with the benchmark skipped, when it does not open or is not
// asked for sound (`notAsked` says what that likely means).
inline bool StartPlaying(benchmark::State& state, AudioOutput& output, ThreadCountingSource& source,
                         OutputEvents& events, long passes, const char* notAsked) {
  if (!output.Open(source, events)) {
    state.SkipWithError("the native output did not open");
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (source.renders.load() < passes && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (source.renders.load() < passes) {
    output.Close();
    state.SkipWithError(notAsked);
    return false;
  }
  return true;
}

struct PlayedCounts {
  long renders = 0;
  long allocations = 0;
};

// Plays 100 ms an iteration, and counts the passes mixed and what the
// mixing thread allocated meanwhile.
inline PlayedCounts PlayIterations(benchmark::State& state, const ThreadCountingSource& source) {
  allocations.store(0);
  const long rendersBefore = source.renders.load();
  for (auto _ : state) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return {source.renders.load() - rendersBefore, allocations.load()};
}

}  // namespace velmo::bench
