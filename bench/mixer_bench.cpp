// Cost of the software mixer per voice and output frame, and the heap
// allocations made while it mixes (there must be none).
//
//   build/default/bench/bench_mixer
//
// Every heap allocation in this program is counted while
// bench::countingAll is set (allocation_counter.h).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#include "bench/allocation_counter.h"
#include "platform/testing/manual_output.h"
#include "velmo/platform/dsound.h"

namespace {

using namespace velmo;

constexpr std::uint32_t kOutputRate = 48000;
constexpr std::size_t kPeriod = 512;

// Mixes `voices` looping 16-bit stereo buffers at `voiceRate` into a
// 48000 Hz stereo output, one 512-frame period per iteration.  Gliding, each
// voice's frequency changes every period, within 2 % of its own rate.
// Shared, the voices are one buffer and its duplicates, playing one memory
// from their own places.
void MixVoicesOf(benchmark::State& state, bool glide, bool shared = false) {
  const int voices = static_cast<int>(state.range(0));
  const DWORD voiceRate = static_cast<DWORD>(state.range(1));
  ManualOutput* output = nullptr;
  IDirectSound* device = CreateManualAudioDevice(&output, kOutputRate, kPeriod);
  device->Initialize(nullptr);

  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 2;
  format.nSamplesPerSec = voiceRate;
  format.wBitsPerSample = 16;
  format.nBlockAlign = 4;
  format.nAvgBytesPerSec = voiceRate * 4;
  DSBUFFERDESC desc{sizeof(DSBUFFERDESC), DSBCAPS_CTRLVOLUME | DSBCAPS_CTRLPAN | DSBCAPS_CTRLFREQUENCY,
                    voiceRate * 4, 0, &format};
  std::mt19937 random(1);
  std::vector<IDirectSoundBuffer*> buffers;
  for (int v = 0; v < voices; ++v) {
    IDirectSoundBuffer* buffer = nullptr;
    const bool duplicate = shared && v > 0;
    if ((duplicate ? device->DuplicateSoundBuffer(buffers[0], &buffer)
                   : device->CreateSoundBuffer(&desc, &buffer, nullptr)) != DS_OK) {
      state.SkipWithError("CreateSoundBuffer failed");
      return;
    }
    void *p1 = nullptr, *p2 = nullptr;
    DWORD n1 = 0, n2 = 0;
    if (!duplicate) {
      buffer->Lock(0, desc.dwBufferBytes, &p1, &n1, &p2, &n2, 0);
      auto* samples = static_cast<std::int16_t*>(p1);
      for (DWORD i = 0; i < n1 / 2; ++i) samples[i] = static_cast<std::int16_t>(random() % 4000 - 2000);
      buffer->Unlock(p1, n1, p2, n2);
    }
    buffer->SetVolume(-600);
    buffer->SetPan(static_cast<LONG>(v * 300 % 4000) - 2000);
    buffer->SetCurrentPosition((v * 4 * 997) % desc.dwBufferBytes);
    buffer->Play(0, 0, DSBPLAY_LOOPING);
    buffers.push_back(buffer);
  }
  std::vector<float> mix(2 * kPeriod);
  output->RenderInto(mix.data(), kPeriod);  // first pass outside the count

  bench::allocations.store(0);
  bench::countingAll.store(true);
  std::uint32_t period = 0;
  for (auto _ : state) {
    if (glide) {
      ++period;
      for (std::size_t v = 0; v < buffers.size(); ++v)
        buffers[v]->SetFrequency(voiceRate - voiceRate / 50 + (period * 37 + v * 11) % (voiceRate / 25));
    }
    output->RenderInto(mix.data(), kPeriod);
    benchmark::DoNotOptimize(mix.data());
  }
  bench::countingAll.store(false);
  state.counters["allocations"] = static_cast<double>(bench::allocations.load());
  // CPU seconds per voice and output frame; printed with an SI prefix, so
  // "150n" reads 150 ns.
  state.counters["per_voice_frame"] = benchmark::Counter(
      static_cast<double>(voices) * kPeriod,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  for (IDirectSoundBuffer* buffer : buffers) buffer->Release();
  device->Release();
}

void MixVoices(benchmark::State& state) { MixVoicesOf(state, false); }
void MixGlidingVoices(benchmark::State& state) { MixVoicesOf(state, true); }
void MixSharedVoices(benchmark::State& state) { MixVoicesOf(state, false, true); }

// What a caller pays to poll a playing buffer, as games do every frame:
// both calls are a few atomic loads.
template <bool kStatus>
void PollBuffer(benchmark::State& state) {
  ManualOutput* output = nullptr;
  IDirectSound* device = CreateManualAudioDevice(&output, kOutputRate, kPeriod);
  device->Initialize(nullptr);
  WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};
  DSBUFFERDESC desc{sizeof(DSBUFFERDESC), 0, 44100 * 4, 0, &format};
  IDirectSoundBuffer* buffer = nullptr;
  device->CreateSoundBuffer(&desc, &buffer, nullptr);
  buffer->Play(0, 0, DSBPLAY_LOOPING);
  std::vector<float> mix(2 * kPeriod);
  output->RenderInto(mix.data(), kPeriod);
  DWORD a = 0, b = 0;
  for (auto _ : state) {
    if constexpr (kStatus) buffer->GetStatus(&a);
    else buffer->GetCurrentPosition(&a, &b);
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(b);
  }
  buffer->Release();
  device->Release();
}
void GetCurrentPosition(benchmark::State& state) { PollBuffer<false>(state); }
void GetStatus(benchmark::State& state) { PollBuffer<true>(state); }
BENCHMARK(GetCurrentPosition);
BENCHMARK(GetStatus);

// Proves the counter above sees both kinds of allocation: it must report
// two per iteration here.
void AllocationCounterSelfCheck(benchmark::State& state) {
  bench::allocations.store(0);
  bench::countingAll.store(true);
  for (auto _ : state) {
    auto* object = new int(1);
    void* block = std::malloc(16);
    benchmark::DoNotOptimize(object);
    benchmark::DoNotOptimize(block);
    std::free(block);
    delete object;
  }
  bench::countingAll.store(false);
  state.counters["allocations_per_iteration"] =
      static_cast<double>(bench::allocations.load()) / static_cast<double>(state.iterations());
}
BENCHMARK(AllocationCounterSelfCheck);

BENCHMARK(MixVoices)
    ->ArgNames({"voices", "voice_hz"})
    ->ArgsProduct({{1, 8, 64}, {44100, 48000}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(MixGlidingVoices)
    ->ArgNames({"voices", "voice_hz"})
    ->ArgsProduct({{1, 8, 64}, {44100, 48000}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(MixSharedVoices)
    ->ArgNames({"voices", "voice_hz"})
    ->ArgsProduct({{64, 256}, {44100, 48000}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
