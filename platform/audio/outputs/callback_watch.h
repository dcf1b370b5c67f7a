// How an output's watcher (SDL's watcher thread, the PipeWire loop's timer)
// follows the audio callback it cannot see: by a count the callback raises
// (its runs, or the frames it was asked for), looked at now and then.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace velmo {

// Every figure here is measured on the clock the caller passes in, never by
// counting looks: a watcher that runs late (a busy machine) still sees how
// much time has gone.  The watcher's own; not shared between threads.
class CallbackWatch {
 public:
  using Clock = std::chrono::steady_clock;

  // A device opened (or playing again) at `now`, the count then at `count`.
  void Reset(std::uint64_t count, Clock::time_point now) {
    seen_ = count;
    lastProgress_ = now;
  }

  // A look at the count at `now`; true when the callback ran since the last.
  bool Look(std::uint64_t count, Clock::time_point now) {
    if (count == seen_) return false;
    seen_ = count;
    lastProgress_ = now;
    return true;
  }

  // How long the count has stood still, as far as the looks tell.
  Clock::duration SinceProgress(Clock::time_point now) const { return now - lastProgress_; }

  // The time nothing was mixed for, when the output is lost at `now` with
  // the callback withdrawn and its count at `count`: from the last look that
  // saw the callback run, at most `limit`.  Nothing when the callback ran
  // since the last look: it mixed until a moment ago, and making up the
  // time since the look would mix that stretch a second time.
  Clock::duration Unmixed(std::uint64_t count, Clock::time_point now, Clock::duration limit) const {
    if (count != seen_) return Clock::duration::zero();
    return std::clamp(now - lastProgress_, Clock::duration::zero(), limit);
  }

 private:
  std::uint64_t seen_ = 0;
  Clock::time_point lastProgress_{};
};

}  // namespace velmo
