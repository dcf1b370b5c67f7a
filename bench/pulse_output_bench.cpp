// Heap allocations in the native PulseAudio output's write callback (there
// must be none of ours), counted the way bench_mixer counts them.
//
//   build/default/bench/bench_pulse_output
//
// PulseWriteCallback drives the write step (pulse_stream_writer.h) with a
// stand-in stream whose memory is lent from a buffer made beforehand, and
// counts every allocation made inside it: allocs_per_callback must be 0.
// PulseWriteCallbackInjectedMalloc is the same with one malloc made inside
// each mix, to show that the count sees one: allocs_per_callback is then
// the passes per callback (4).
// PulseOutputPlaying plays through a real server (tests/app/sound_server.sh
// starts one; without one it reports an error and measures nothing) and
// counts what the mainloop's thread allocates once it has first mixed:
// that is libpulse's own work (its protocol, a packet per request) beside
// ours, given per mixer pass as thread_allocs_per_render, for comparison only.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <vector>

#include "bench/allocation_counter.h"
#include "bench/output_playing.h"
#include "platform/audio/outputs/pulse_output.h"
#include "platform/audio/outputs/pulse_stream_writer.h"

namespace {

using namespace velmo;

std::vector<float>& LentMemory() {
  static std::vector<float> memory(1 << 16);
  return memory;
}
int LendMemory(pa_stream*, void** data, size_t* nbytes) {
  *data = LentMemory().data();
  *nbytes = std::min(*nbytes, LentMemory().size() * sizeof(float));
  return 0;
}
int TakeWritten(pa_stream*, const void*, size_t, pa_free_cb_t, int64_t, pa_seek_mode_t) { return 0; }
int CancelWrite(pa_stream*) { return 0; }
constexpr PulseWriteCalls kStandIn{&LendMemory, &TakeWritten, &CancelWrite};

// Silence; `mallocInside` makes (and frees) one allocation per pass.
class SilentSource final : public MixSource {
 public:
  explicit SilentSource(bool mallocInside) : mallocInside_(mallocInside) {}
  void Render(float* stereo, std::size_t frames) override {
    if (mallocInside_) {
      void* p = std::malloc(64);
      benchmark::DoNotOptimize(p);
      std::free(p);
    }
    for (std::size_t i = 0; i < 2 * frames; ++i) stereo[i] = 0.0f;
    renders.fetch_add(1, std::memory_order_relaxed);
  }
  std::atomic<long> renders{0};

 private:
  const bool mallocInside_;
};

// One callback: the server asks for the whole default queue (960 frames at
// 48000 Hz), mixed in passes of the output's request size (240 frames).
void RunWriteCallback(benchmark::State& state, bool mallocInside) {
  SilentSource source(mallocInside);
  const PulseBufferFrames buffer = PulseBufferFor(48000, PulseOutput::kDefaultLatencyMs);
  const std::size_t bytes = buffer.target * kPulseFrameBytes;
  long callbacks = 0;
  bench::allocations.store(0);
  for (auto _ : state) {
    bench::countingAll.store(true);
    benchmark::DoNotOptimize(WriteRequested(kStandIn, nullptr, bytes, &source, buffer.request));
    bench::countingAll.store(false);
    ++callbacks;
  }
  state.counters["allocs_per_callback"] = static_cast<double>(bench::allocations.load()) / callbacks;
}
void PulseWriteCallback(benchmark::State& state) { RunWriteCallback(state, false); }
void PulseWriteCallbackInjectedMalloc(benchmark::State& state) { RunWriteCallback(state, true); }
BENCHMARK(PulseWriteCallback);
BENCHMARK(PulseWriteCallbackInjectedMalloc);

// One iteration is 100 ms of playing.
void PulseOutputPlaying(benchmark::State& state) {
  if (!PulseServerAnswers()) {
    state.SkipWithError("no PulseAudio server answers");
    return;
  }
  bench::ThreadCountingSource source;
  bench::NoEvents events;
  PulseOutput output(48000);
  if (!bench::StartPlaying(state, output, source, events, 20, "the stream was not asked for sound (is the sink asleep?)"))
    return;
  const bench::PlayedCounts played = bench::PlayIterations(state, source);
  output.Close();
  state.counters["renders"] = static_cast<double>(played.renders);
  state.counters["thread_allocs_per_render"] =
      played.renders > 0 ? static_cast<double>(played.allocations) / played.renders : 0.0;
}
BENCHMARK(PulseOutputPlaying)->Iterations(20)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
