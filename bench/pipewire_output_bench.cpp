// Heap allocations on PipeWire's real-time thread while the native output
// plays (there must be none), counted the way bench_mixer counts them.
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

#include "platform/audio/outputs/pipewire_output.h"

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);
}

namespace {
// Set on the thread that renders, from its first cycle on.
thread_local bool t_counted = false;
std::atomic<long> g_allocations{0};
void Count() {
  if (t_counted) g_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* malloc(std::size_t n) {
  Count();
  return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t size) {
  Count();
  return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t n) {
  Count();
  return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
}

void* operator new(std::size_t n) {
  Count();
  if (void* p = __libc_malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  Count();
  return __libc_malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, std::size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::size_t) noexcept { __libc_free(p); }

namespace {

using namespace velmo;

// Silence, and the count of cycles and frames asked for.
class CountingSource final : public MixSource {
 public:
  void Render(float* stereo, std::size_t frames) override {
    t_counted = true;
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
  g_allocations.store(0);
  const long rendersBefore = source.renders.load();
  for (auto _ : state) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const long renders = source.renders.load() - rendersBefore;
  const long allocations = g_allocations.load();
  output.Close();
  state.counters["renders"] = static_cast<double>(renders);
  state.counters["allocations"] = static_cast<double>(allocations);
  state.counters["allocs_per_cycle"] = renders > 0 ? static_cast<double>(allocations) / renders : 0.0;
}
BENCHMARK(NativeOutputPlaying)->Iterations(20)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
