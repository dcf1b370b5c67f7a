// Heap allocations on PipeWire's real-time thread while the native output
// plays (there must be none), counted the way bench_mixer counts them, and
// the stream's cycles that came late or after skipped ones, as the output
// counts them from the stream's own time (late_cycles, of cycles).
//
//   build/default/bench/bench_pipewire_output
//
// Needs a PipeWire server with a sink (tests/app/pipewire_server.sh starts
// one); without one the benchmark reports an error and measures nothing.
// The output mixes a silent source: what is counted is everything the
// thread that runs the process callback allocates once it has called the
// mixer, the stream's dequeue and queue and the data loop included.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include "bench/allocation_counter.h"
#include "platform/audio/outputs/pipewire_output.h"

namespace {

using namespace velmo;

// Silence, and the count of cycles and frames asked for.
class CountingSource final : public MixSource {
 public:
  void Render(float* stereo, std::size_t frames) override {
    bench::countingHere = true;
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

// One iteration is 100 ms of playing.
void NativeOutputPlaying(benchmark::State& state) {
  if (!PipeWireServerAnswers()) {
    state.SkipWithError("no PipeWire server answers");
    return;
  }
  CountingSource source;
  NoEvents events;
  PipeWireOutput output(48000);
  if (!output.Open(source, events)) {
    state.SkipWithError("the native output did not open");
    return;
  }
  // Until the stream is linked and the first cycles have run.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (source.renders.load() < 10 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (source.renders.load() < 10) {
    output.Close();
    state.SkipWithError("the stream was not called (no sink?)");
    return;
  }
  bench::allocations.store(0);
  const long rendersBefore = source.renders.load();
  const std::uint64_t cyclesBefore = output.Cycles();
  const std::uint64_t lateBefore = output.LateCycles();
  for (auto _ : state) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const long renders = source.renders.load() - rendersBefore;
  const long allocations = bench::allocations.load();
  const std::uint64_t cycles = output.Cycles() - cyclesBefore;
  const std::uint64_t late = output.LateCycles() - lateBefore;
  output.Close();
  state.counters["cycles"] = static_cast<double>(cycles);
  state.counters["late_cycles"] = static_cast<double>(late);
  state.counters["renders"] = static_cast<double>(renders);
  state.counters["allocations"] = static_cast<double>(allocations);
  state.counters["allocs_per_cycle"] = renders > 0 ? static_cast<double>(allocations) / renders : 0.0;
}
BENCHMARK(NativeOutputPlaying)->Iterations(20)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
