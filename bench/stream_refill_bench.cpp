// What one refill tick costs: the tick that refills the 50 ms a 44.1 kHz
// 16-bit stereo stream plays between two ticks (8820 bytes), beside a plain
// memcpy of the same 8820 bytes, and the tick that finds nothing played.
//
// The tick runs against two devices.  "Ring" is a plain memory ring whose
// Lock hands out the ring itself: the figure is the library's own work (the
// lock word, the device calls, the wrapping read out of the file layer's
// buffer).  "SoftwareDevice" is the real software device on a manual output
// (nothing mixes behind the benchmark's back), whose Lock hands out the ring
// itself too and adds only its checks and the publishing of the write.  The play cursor is moved by hand with
// SetCurrentPosition before each tick (inside the timing).  The stream file
// is 30 seconds long and stands in the page cache; the file layer's 64 KiB
// buffer is refilled from it every seven or eight ticks, and that read is
// part of the figure.  Every heap allocation made during the ticks is
// counted: operator new and the platform's GlobalAlloc.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "sound/engine_state.h"
#include "sound/stream_refill_timer.h"
#include "sound/stream_state.h"
#include "tests/stream/manual_device_platform.h"
#include "tests/wave/wave_test_files.h"
#include "velmo/sound/vs_sound.h"

namespace {

std::atomic<long> gNews{0};

}  // namespace

// Every allocation of the process is counted, so that the benchmark can tell
// whether a tick allocates.
[[gnu::noinline]] void* operator new(std::size_t bytes) {
  gNews.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(bytes ? bytes : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new[](std::size_t bytes) {
  gNews.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(bytes ? bytes : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
  gNews.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(bytes ? bytes : 1);
}
[[gnu::noinline]] void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept {
  gNews.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(bytes ? bytes : 1);
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace velmo {
namespace {

constexpr DWORD kTickBytes = 8820;  // 50 ms of 44.1 kHz 16-bit stereo
// Thirty seconds of data, read from the page cache as the stream goes on;
// and a quarter of a second, which the file layer's 64 KiB buffer holds
// whole, so that no tick waits on a read: the difference is the file I/O.
constexpr std::size_t kLongFileBytes = 30 * 176400;
constexpr std::size_t kShortFileBytes = 44100;

// A looping buffer that is nothing but memory: Lock returns the ring itself
// and the cursor moves only by SetCurrentPosition.
class RingBuffer final : public IDirectSoundBuffer {
 public:
  explicit RingBuffer(DWORD bytes) : data_(bytes) {}
  HRESULT QueryInterface(const GUID&, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }
  HRESULT GetCaps(DSBCAPS*) override { return E_NOTIMPL; }
  HRESULT GetCurrentPosition(DWORD* play, DWORD* write) override {
    if (play) *play = position_;
    if (write) *write = position_;
    return DS_OK;
  }
  HRESULT GetStatus(DWORD* status) override {
    *status = playing_ ? DSBSTATUS_PLAYING | DSBSTATUS_LOOPING : 0;
    return DS_OK;
  }
  HRESULT GetVolume(LONG*) override { return E_NOTIMPL; }
  HRESULT GetPan(LONG*) override { return E_NOTIMPL; }
  HRESULT GetFrequency(DWORD*) override { return E_NOTIMPL; }
  HRESULT Lock(DWORD offset, DWORD bytes, void** r1, DWORD* b1, void** r2, DWORD* b2, DWORD) override {
    const DWORD size = static_cast<DWORD>(data_.size());
    if (offset >= size || bytes > size) return DSERR_INVALIDPARAM;
    const DWORD first = std::min(bytes, size - offset);
    *r1 = data_.data() + offset;
    *b1 = first;
    *r2 = bytes > first ? data_.data() : nullptr;
    *b2 = bytes - first;
    return DS_OK;
  }
  HRESULT Play(DWORD, DWORD, DWORD) override {
    playing_ = true;
    return DS_OK;
  }
  HRESULT SetCurrentPosition(DWORD position) override {
    position_ = position;
    return DS_OK;
  }
  HRESULT SetVolume(LONG) override { return DS_OK; }
  HRESULT SetPan(LONG) override { return DS_OK; }
  HRESULT SetFrequency(DWORD) override { return DS_OK; }
  HRESULT Stop() override {
    playing_ = false;
    return DS_OK;
  }
  HRESULT Unlock(void*, DWORD, void*, DWORD) override { return DS_OK; }
  HRESULT Restore() override { return DS_OK; }

 private:
  std::vector<std::uint8_t> data_;
  ULONG refs_ = 1;
  DWORD position_ = 0;
  bool playing_ = false;
};

class RingDevice final : public IDirectSound {
 public:
  HRESULT QueryInterface(const GUID&, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  HRESULT CreateSoundBuffer(const DSBUFFERDESC* desc, IDirectSoundBuffer** buffer, IUnknown*) override {
    buffer_ = std::make_unique<RingBuffer>(desc->dwBufferBytes);
    *buffer = buffer_.get();
    return DS_OK;
  }
  HRESULT SetCooperativeLevel(HWND, DWORD) override { return DS_OK; }
  HRESULT Initialize(const GUID*) override { return DS_OK; }
  HRESULT DuplicateSoundBuffer(IDirectSoundBuffer*, IDirectSoundBuffer**) override { return DSERR_UNSUPPORTED; }

 private:
  std::unique_ptr<RingBuffer> buffer_;
};

// The engine started on the manual device, with a 30-second stream open and
// playing on the software device or on the plain ring.
class PlayingStream {
 public:
  PlayingStream(bool onRing, std::size_t dataBytes) : platform_(44100), installed_(platform_) {
    file_ = dir_.Write("bgm1.wav", testing::PcmWave(testing::Pattern(dataBytes), 2, 44100, 16));
    DSoundReady = 0;
    DSoundObject = nullptr;
    ok = sound_.InitDSound(reinterpret_cast<HWND>(0x1)) == 1;
    device_ = DSoundObject;
    if (onRing) DSoundObject = &ring_;
    ok = ok && sound_.OpenStream(file_.c_str()) == 1;
    if (ok) sound_.PlayStream();
    ok = ok && TimerActive == 1;
  }
  ~PlayingStream() {
    sound_.HaltStream(1);
    DSoundObject = device_;
    sound_.CloseDSound();
  }

  long GlobalAllocs() const { return platform_.GlobalAllocs(); }
  int DebugLines() const { return platform_.DebugLines(); }

  bool ok = false;

 private:
  RingDevice ring_;
  IDirectSound* device_ = nullptr;
  testing::TempDir dir_;
  std::string file_;
  testing::ManualDevicePlatform platform_;
  ScopedPlatform installed_;
  VSSound sound_{};
};

void BM_RefillTick8820Bytes(benchmark::State& state) {
  PlayingStream stream(state.range(0) == 0, state.range(1) == 0 ? kLongFileBytes : kShortFileBytes);
  if (!stream.ok) return state.SkipWithError("the stream did not start");
  DWORD cursor = 0;
  const long news = gNews.load(std::memory_order_relaxed);
  const long blocks = stream.GlobalAllocs();
  for (auto _ : state) {
    cursor += kTickBytes;
    if (cursor >= StreamBufferBytes) cursor -= StreamBufferBytes;
    TimerBuffer->SetCurrentPosition(cursor);
    VSTimeRunFuncForDSound(1, 0, 0, 0, 0);
  }
  if (RefillPosition != cursor || stream.DebugLines() != 0) state.SkipWithError("a tick did not refill");
  const double allocations =
      static_cast<double>(gNews.load(std::memory_order_relaxed) - news + stream.GlobalAllocs() - blocks);
  state.counters["allocs_per_tick"] = benchmark::Counter(allocations, benchmark::Counter::kAvgIterations);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kTickBytes);
}
BENCHMARK(BM_RefillTick8820Bytes)->ArgNames({"software_device", "short_file"})->Args({1, 0});
BENCHMARK(BM_RefillTick8820Bytes)->ArgNames({"software_device", "short_file"})->Args({0, 0});
BENCHMARK(BM_RefillTick8820Bytes)->ArgNames({"software_device", "short_file"})->Args({0, 1});

void BM_Memcpy8820BytesBaseline(benchmark::State& state) {
  std::vector<char> from(kTickBytes, 1);
  std::vector<char> to(kTickBytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kTickBytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kTickBytes);
}
BENCHMARK(BM_Memcpy8820BytesBaseline);

void BM_RefillTickWithNothingPlayed(benchmark::State& state) {
  PlayingStream stream(true, kLongFileBytes);
  if (!stream.ok) return state.SkipWithError("the stream did not start");
  const long news = gNews.load(std::memory_order_relaxed);
  const long blocks = stream.GlobalAllocs();
  for (auto _ : state) VSTimeRunFuncForDSound(1, 0, 0, 0, 0);
  const double allocations =
      static_cast<double>(gNews.load(std::memory_order_relaxed) - news + stream.GlobalAllocs() - blocks);
  state.counters["allocs_per_tick"] = benchmark::Counter(allocations, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_RefillTickWithNothingPlayed);

}  // namespace
}  // namespace velmo
BENCHMARK_MAIN();
