// Static sounds: how long a 10 MiB effect takes to load, and what one
// PlayStatic costs.
//
// Both run the library on the software device with a manual output (nothing
// mixes behind the benchmark's back).  The load has a baseline beside it
// that reads the same file with read() into memory and copies it once more,
// the two copies a load makes at the least.  The play benchmarks count every
// heap allocation made during PlayStatic (operator new and the platform's
// GlobalAlloc) and the device calls it makes, which the platform double
// records for one first play and one replay; the call lists are printed
// before the benchmarks run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/outputs/sdl_output.h"
#include "platform/testing/fake_platform.h"
#include "platform/testing/forwarding_platform.h"
#include "platform/testing/manual_output.h"
#include "sound/engine_state.h"
#include "tools/riff_builder.h"
#include "velmo/platform/heap.h"
#include "velmo/sound/static_sound.h"
#include "velmo/sound/vs_sound.h"

namespace {

std::atomic<long> gNews{0};

}  // namespace

// Every allocation of the process is counted, so that a benchmark can tell
// whether the code it times allocates.  The operators stay out of line so
// that the compiler never sees a new paired with a free.
[[gnu::noinline]] void* operator new(std::size_t bytes) {
  gNews.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(bytes ? bytes : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace velmo {
namespace {

constexpr DWORD kEffectBytes = 10u << 20;
constexpr std::uint32_t kRate = 44100;

// A 16-bit stereo PCM file of `dataBytes` bytes in the temporary directory,
// read once so that it stands in the page cache, removed at destruction.
class EffectFile {
 public:
  explicit EffectFile(DWORD dataBytes) {
    path_ = (std::filesystem::temp_directory_path() /
             ("velmo-static-bench-" + std::to_string(::getpid()) + "-" + std::to_string(dataBytes) + ".wav"))
                .string();
    const riff::Bytes header = riff::PcmWaveHeader(dataBytes, 2, kRate, 16);
    std::vector<char> data(dataBytes);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 3);
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    const int fd = ::open(path_.c_str(), O_RDONLY);
    while (::read(fd, data.data(), data.size()) > 0) {
    }
    ::close(fd);
  }
  ~EffectFile() { std::remove(path_.c_str()); }
  const char* Path() const { return path_.c_str(); }

 private:
  std::string path_;
};

// The real platform with the device on a manual output, and the platform's
// heap blocks counted.
class BenchPlatform final : public testing::ForwardingPlatform {
 public:
  HRESULT CoCreateInstance(const GUID&, IUnknown*, DWORD, const GUID&, void** object) override {
    *object = CreateManualAudioDevice(&output, 48000, SdlOutput::kPeriod);
    return *object != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  int MessageBoxA(HWND, const char* text, const char* caption, UINT) override {
    std::fprintf(stderr, "message box: %s (%s)\n", text, caption);
    return 1;
  }
  HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) override {
    globalAllocs.fetch_add(1, std::memory_order_relaxed);
    return ForwardingPlatform::GlobalAlloc(flags, bytes);
  }

  std::atomic<long> globalAllocs{0};
  ManualOutput* output = nullptr;
};

// The engine started on the bench platform for the length of a benchmark.
class Engine {
 public:
  Engine() : installed_(platform) {
    DSoundReady = 0;
    DSoundObject = nullptr;
    ok = sound.InitDSound(reinterpret_cast<HWND>(0x1)) == 1;
  }
  ~Engine() { sound.CloseDSound(); }

  // Records are never unloaded by the library; a benchmark that loads many
  // gives each one back itself.
  void Unload(StaticSound* effect) {
    if (effect == nullptr) return;
    sound.ReleaseStaticBuffer(effect);
    GlobalFree(effect->WaveFormat);
    GlobalFree(effect->WaveData);
    GlobalFree(GlobalHandle(effect));
  }

  BenchPlatform platform;
  VSSound sound{};
  bool ok = false;

 private:
  ScopedPlatform installed_;
};

void BM_LoadStatic10MiB(benchmark::State& state) {
  static EffectFile file(kEffectBytes);
  Engine engine;
  if (!engine.ok) return state.SkipWithError("the engine did not start");
  long allocations = 0;
  for (auto _ : state) {
    const long news = gNews.load(std::memory_order_relaxed);
    const long blocks = engine.platform.globalAllocs.load(std::memory_order_relaxed);
    StaticSound* effect = engine.sound.LoadStatic(file.Path());
    if (effect == nullptr) return state.SkipWithError("the load failed");
    benchmark::DoNotOptimize(effect->SoundBuffer);
    state.PauseTiming();
    allocations += gNews.load(std::memory_order_relaxed) - news;
    allocations += engine.platform.globalAllocs.load(std::memory_order_relaxed) - blocks;
    engine.Unload(effect);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kEffectBytes);
  // A load does allocate (record, samples, format, file buffers, the device
  // buffer): the figure shows the counting works where PlayStatic's says 0.
  state.counters["allocs_per_load"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_LoadStatic10MiB)->Unit(benchmark::kMillisecond);

// The least a load can do: read the samples into memory and copy them once
// into a buffer of their own.
void BM_ReadAndCopy10MiBBaseline(benchmark::State& state) {
  static EffectFile file(kEffectBytes);
  for (auto _ : state) {
    std::vector<char> samples(kEffectBytes);
    std::vector<char> buffer(kEffectBytes);
    const int fd = ::open(file.Path(), O_RDONLY);
    ::lseek(fd, 44, SEEK_SET);
    std::size_t got = 0;
    while (got < samples.size()) {
      const ssize_t n = ::read(fd, samples.data() + got, samples.size() - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    std::memcpy(buffer.data(), samples.data(), got);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kEffectBytes);
}
BENCHMARK(BM_ReadAndCopy10MiBBaseline)->Unit(benchmark::kMillisecond);

// PlayStatic on a record that is still flagged as playing (every iteration
// after the first): Stop, GetStatus, SetCurrentPosition, Play.  The first
// play of a fresh record has no Stop.
void BM_PlayStatic(benchmark::State& state) {
  static EffectFile file(4410 * 4);  // a 100 ms effect
  Engine engine;
  if (!engine.ok) return state.SkipWithError("the engine did not start");
  StaticSound* effect = engine.sound.LoadStatic(file.Path());
  if (effect == nullptr) return state.SkipWithError("the load failed");
  long allocations = 0;
  for (auto _ : state) {
    const long news = gNews.load(std::memory_order_relaxed);
    const long blocks = engine.platform.globalAllocs.load(std::memory_order_relaxed);
    benchmark::DoNotOptimize(engine.sound.PlayStatic(effect));
    allocations += gNews.load(std::memory_order_relaxed) - news;
    allocations += engine.platform.globalAllocs.load(std::memory_order_relaxed) - blocks;
  }
  state.counters["allocs_per_play"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
  engine.Unload(effect);
}
BENCHMARK(BM_PlayStatic);

// PlayStatic then StopStatic: a start from a stopped record and its stop.
void BM_PlayThenStopStatic(benchmark::State& state) {
  static EffectFile file(4410 * 4);
  Engine engine;
  if (!engine.ok) return state.SkipWithError("the engine did not start");
  StaticSound* effect = engine.sound.LoadStatic(file.Path());
  if (effect == nullptr) return state.SkipWithError("the load failed");
  long allocations = 0;
  for (auto _ : state) {
    const long news = gNews.load(std::memory_order_relaxed);
    const long blocks = engine.platform.globalAllocs.load(std::memory_order_relaxed);
    benchmark::DoNotOptimize(engine.sound.PlayStatic(effect));
    benchmark::DoNotOptimize(engine.sound.StopStatic(effect));
    allocations += gNews.load(std::memory_order_relaxed) - news;
    allocations += engine.platform.globalAllocs.load(std::memory_order_relaxed) - blocks;
  }
  state.counters["allocs_per_iteration"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
  engine.Unload(effect);
}
BENCHMARK(BM_PlayThenStopStatic);

// How soon an effect is heard: the output frames between PlayStatic
// returning and the effect's first sample leaving the mixer.  A thread
// renders the device's output in real time, one SDL-sized period at a time
// as SDL's callback does; each play lands at a random point of a period.
// The frames count from the play's return to the start of the pass that
// first carries the effect, plus the sample's place in that pass; the goal
// is at most one period.
void BM_EffectStartLatency(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  static EffectFile file(4410 * 4);
  Engine engine;
  if (!engine.ok || engine.platform.output == nullptr) return state.SkipWithError("the engine did not start");
  StaticSound* effect = engine.sound.LoadStatic(file.Path());
  if (effect == nullptr) return state.SkipWithError("the load failed");
  constexpr std::uint32_t kRate = 48000, kPeriod = SdlOutput::kPeriod;
  const auto periodLength = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
      static_cast<double>(kPeriod) / kRate));

  std::atomic<bool> stop{false};
  std::atomic<bool> armed{false};
  std::atomic<std::int64_t> heardAt{0};  // pass start, ns on the steady clock
  std::atomic<std::int64_t> heardIndex{-1};
  std::thread renderer([&] {
    std::vector<float> period(2 * kPeriod);
    auto due = Clock::now();
    while (!stop.load()) {
      const auto start = Clock::now();
      engine.platform.output->RenderInto(period.data(), kPeriod);
      if (armed.load(std::memory_order_acquire)) {
        const auto first = std::find_if(period.begin(), period.end(), [](float v) { return v != 0.0f; });
        if (first != period.end()) {
          heardIndex.store((first - period.begin()) / 2);
          heardAt.store(start.time_since_epoch().count());
          armed.store(false, std::memory_order_release);
        }
      }
      due += periodLength;
      std::this_thread::sleep_until(due);
    }
  });

  std::mt19937 random(7);
  double total = 0, worst = 0;
  for (auto _ : state) {
    state.PauseTiming();
    engine.sound.StopStatic(effect);
    std::this_thread::sleep_for(2 * periodLength);  // the stop has reached the mixer
    heardIndex.store(-1);
    std::this_thread::sleep_for(periodLength * (random() % 1000) / 1000);
    armed.store(true, std::memory_order_release);
    state.ResumeTiming();
    engine.sound.PlayStatic(effect);
    const auto returned = Clock::now();
    state.PauseTiming();
    while (heardIndex.load() < 0) std::this_thread::yield();
    const double waited = std::max<double>(
        0.0, static_cast<double>(heardAt.load() - returned.time_since_epoch().count()) * 1e-9 * kRate);
    const double frames = waited + static_cast<double>(heardIndex.load());
    total += frames;
    worst = std::max(worst, frames);
    state.ResumeTiming();
  }
  stop.store(true);
  renderer.join();
  state.counters["latency_frames"] = total / static_cast<double>(state.iterations());
  state.counters["latency_frames_max"] = worst;
  state.counters["period_frames"] = kPeriod;
  engine.Unload(effect);
}
BENCHMARK(BM_EffectStartLatency)->Iterations(200)->UseRealTime();

// The device calls of one first play and one replay, as the platform double
// logs them.
void PrintDeviceCalls() {
  static EffectFile file(4410 * 4);
  testing::FakePlatform fake;
  ScopedPlatform installed(fake);
  DSoundReady = 0;
  DSoundObject = nullptr;
  VSSound sound{};
  if (sound.InitDSound(reinterpret_cast<HWND>(0x1)) != 1) return;
  StaticSound* effect = sound.LoadStatic(file.Path());
  if (effect == nullptr) return;
  for (const char* which : {"first PlayStatic", "PlayStatic again"}) {
    fake.ClearCalls();
    sound.PlayStatic(effect);
    std::fprintf(stderr, "%s:", which);
    for (const testing::Call& call : fake.Calls()) std::fprintf(stderr, " %s", call.Format().c_str());
    std::fprintf(stderr, "\n");
  }
  // The double frees its blocks itself; the device goes with it.
  DSoundReady = 0;
  DSoundObject = nullptr;
}

}  // namespace
}  // namespace velmo

int main(int argc, char** argv) {
  velmo::PrintDeviceCalls();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
