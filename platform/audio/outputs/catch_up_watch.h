// Whether a server that calls a lost output again plays live, or is
// catching up on the cycles it missed.
//
// A server that was held up (stopped, or starved of the processor) may run
// the cycles it owes in one burst: PipeWire's null sink does, its timer being
// set from when it last fired, and PulseAudio's renders its whole backlog at
// once.  The device kept that time while the output was away, so mixing the
// burst again would put the music ahead of the clock by as much.  The burst
// may also start just before a look, so that one look sees only its first
// few cycles at what seems a real-time pace.  An output is therefore taken
// as live again only after two looks in a row that each saw
//  - no more frames asked for than real time allows: the look's span with a
//    quarter to spare, plus two cycles for those that fall either side of a
//    look; and
//  - where the server stamps its cycles with the monotonic clock (PipeWire's
//    graph time), a last cycle no further in the past than two cycles and a
//    look's span: a burst's cycles carry the times they were due, and lag
//    by what is still owed.
// A server whose stamps lag at a real-time pace for two seconds, the lag no
// smaller at the end, is taken as live all the same: its clock is not the
// one we read, and the music must not stay silent for it.
//
// The watcher's own (the loop's timer); not shared between threads.
#pragma once

#include <cstdint>
#include <optional>

namespace velmo {

// How long `frames` play at `rate`.
constexpr std::uint64_t FramesToNs(std::uint64_t frames, std::uint32_t rate) {
  return frames * 1'000'000'000 / rate;
}

class CatchUpWatch {
 public:
  static constexpr std::uint64_t kStaleStampLimitNs = 2'000'000'000;

  // The output was lost: the next looks start from nothing.
  void Reset() {
    liveLooks_ = 0;
    staleNs_ = 0;
  }

  // A look that saw the callback run, `elapsedNs` after the last: it was
  // asked for `askedNs` of sound since, in cycles of `cycleNs`; `behindNs`
  // is how far the last cycle's stamp lies behind the clock now, when the
  // server stamps them.  True when the output may mix again.
  bool Live(std::uint64_t askedNs, std::uint64_t elapsedNs, std::uint64_t cycleNs,
            std::optional<std::uint64_t> behindNs) {
    const bool atPace = askedNs <= elapsedNs + elapsedNs / 4 + 2 * cycleNs;
    bool stampFresh = true;
    if (!atPace) {
      staleNs_ = 0;
    } else if (behindNs.has_value()) {
      const std::uint64_t jitterNs = 2 * cycleNs + elapsedNs;
      stampFresh = *behindNs <= jitterNs;
      if (stampFresh) {
        staleNs_ = 0;
      } else {
        if (staleNs_ == 0) staleFromNs_ = *behindNs;
        staleNs_ += elapsedNs;
        if (staleNs_ >= kStaleStampLimitNs) {
          // A catch-up, however slow, has shrunk the lag since; a clock of
          // the server's own has not.
          if (staleFromNs_ < *behindNs + jitterNs)
            stampFresh = true;
          else
            staleNs_ = 0;  // still catching up: a new stretch starts
        }
      }
    }
    liveLooks_ = atPace && stampFresh ? liveLooks_ + 1 : 0;
    return liveLooks_ >= 2;
  }

 private:
  int liveLooks_ = 0;
  std::uint64_t staleNs_ = 0;      // how long the stamps have lagged at a real-time pace
  std::uint64_t staleFromNs_ = 0;  // and how far they lagged when that began
};

}  // namespace velmo
