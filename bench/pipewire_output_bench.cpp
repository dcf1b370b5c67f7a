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

#include <cstdint>

#include "bench/output_playing.h"
#include "platform/audio/outputs/pipewire_output.h"

namespace {

using namespace velmo;

// One iteration is 100 ms of playing.
void NativeOutputPlaying(benchmark::State& state) {
  if (!PipeWireServerAnswers()) {
    state.SkipWithError("no PipeWire server answers");
    return;
  }
  bench::ThreadCountingSource source;
  bench::NoEvents events;
  PipeWireOutput output(48000);
  // Until the stream is linked and the first cycles have run.
  if (!bench::StartPlaying(state, output, source, events, 10, "the stream was not called (no sink?)")) return;
  const std::uint64_t cyclesBefore = output.Cycles();
  const std::uint64_t lateBefore = output.LateCycles();
  const bench::PlayedCounts played = bench::PlayIterations(state, source);
  const std::uint64_t cycles = output.Cycles() - cyclesBefore;
  const std::uint64_t late = output.LateCycles() - lateBefore;
  output.Close();
  state.counters["cycles"] = static_cast<double>(cycles);
  state.counters["late_cycles"] = static_cast<double>(late);
  state.counters["renders"] = static_cast<double>(played.renders);
  state.counters["allocations"] = static_cast<double>(played.allocations);
  state.counters["allocs_per_cycle"] =
      played.renders > 0 ? static_cast<double>(played.allocations) / played.renders : 0.0;
}
BENCHMARK(NativeOutputPlaying)->Iterations(20)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
