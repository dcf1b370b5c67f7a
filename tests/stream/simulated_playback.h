// Ten minutes of playback on a simulated clock: the device consumes the
// stream buffer at the file's rate while refill ticks arrive every 50 ms,
// some of them late and some not at all, as a loaded machine delivers them.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace velmo::testing {

struct TickSchedule {
  std::vector<std::uint64_t> times;  // milliseconds of simulated time, rising
  int skipped = 0;
  int late = 0;
  int longestGapMs = 0;
};

// Ticks due every 50 ms over `totalMs`.  About one in ten is skipped, now
// and then a run of up to five in a row (a stall of up to 300 ms); about one
// in three arrives 5 to 45 ms late; the rest within 2 ms of time.
inline TickSchedule MakeTickSchedule(std::uint64_t totalMs, std::uint32_t seed) {
  TickSchedule s;
  std::mt19937 rng(seed);
  std::uint64_t previous = 0;
  int skipRun = 0;
  for (std::uint64_t due = 50; due <= totalMs; due += 50) {
    const unsigned r = rng() % 100;
    if (skipRun == 0 && r < 2) skipRun = 1 + static_cast<int>(rng() % 5);
    if (skipRun > 0 || r < 10) {
      if (skipRun > 0) --skipRun;
      ++s.skipped;
      continue;
    }
    std::uint64_t delay = rng() % 3;
    if (r < 40) {
      delay = 5 + rng() % 41;
      ++s.late;
    }
    const std::uint64_t at = due + delay;
    if (at > totalMs) break;
    s.longestGapMs = std::max<int>(s.longestGapMs, static_cast<int>(at - previous));
    s.times.push_back(at);
    previous = at;
  }
  return s;
}

// Plays `totalMs` of simulated time at `rate` frames a second: before each
// tick the device consumes the frames due by then (`consume(frames)`), then
// the tick runs (`tick()`).  Ends with the frames due at `totalMs`.
template <class Consume, class Tick>
void SimulatePlayback(const TickSchedule& schedule, std::uint64_t totalMs, std::uint32_t rate, Consume consume,
                      Tick tick) {
  std::uint64_t consumed = 0;
  auto catchUp = [&](std::uint64_t ms) {
    const std::uint64_t due = ms * rate / 1000;
    if (due > consumed) consume(static_cast<std::size_t>(due - consumed));
    consumed = due;
  };
  for (std::uint64_t at : schedule.times) {
    catchUp(at);
    tick();
  }
  catchUp(totalMs);
}

inline std::vector<std::uint8_t> RandomBytes(std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> out(count);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

}  // namespace velmo::testing
