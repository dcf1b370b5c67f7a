// How closely the multimedia timer keeps its 50 ms cadence: each iteration
// waits for ten ticks of a 50 ms periodic event and reports the spread of
// the intervals between them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/mm_timer.h"
#include "platform/periodic_timer.h"

namespace velmo {
namespace {

using Clock = std::chrono::steady_clock;

struct Ticks {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Clock::time_point> at;
};

void Record(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  auto* ticks = reinterpret_cast<Ticks*>(user);
  {
    std::lock_guard lock(ticks->mutex);
    ticks->at.push_back(Clock::now());
  }
  ticks->changed.notify_all();
}

void BM_RefillTimerJitter(benchmark::State& state) {
  PeriodicTimer timer;
  double worstLateMs = 0, worstEarlyMs = 0, sumAbsMs = 0;
  int intervals = 0;
  for (auto _ : state) {
    Ticks ticks;
    const UINT id = timer.SetEvent(50, 10, Record, reinterpret_cast<DWORD_PTR>(&ticks), TIME_PERIODIC);
    {
      std::unique_lock lock(ticks.mutex);
      ticks.changed.wait(lock, [&] { return ticks.at.size() >= 11; });
    }
    timer.KillEvent(id);
    for (std::size_t i = 1; i < 11; ++i) {
      const double ms = std::chrono::duration<double, std::milli>(ticks.at[i] - ticks.at[i - 1]).count() - 50.0;
      worstLateMs = std::max(worstLateMs, ms);
      worstEarlyMs = std::min(worstEarlyMs, ms);
      sumAbsMs += ms < 0 ? -ms : ms;
      ++intervals;
    }
  }
  state.counters["mean_abs_jitter_ms"] = sumAbsMs / intervals;
  state.counters["worst_late_ms"] = worstLateMs;
  state.counters["worst_early_ms"] = worstEarlyMs;
}
BENCHMARK(BM_RefillTimerJitter)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace velmo

BENCHMARK_MAIN();
