// The state a voice shares between its callers and the mixer: one atomic word
// for each thing that can change, so that neither side ever waits for the
// other and neither can see half of a change.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>

namespace velmo {

// Play state as the callers set it: whether the voice should play, whether
// it loops, and the number of the start that put it in play.  Every Play that
// starts a voice, or makes a playing one-shot loop, takes the next start
// number (rather than only changing the looping mode), so the mixer can tell
// a new start from the state it is already playing.
struct Transport {
  bool playing = false;
  bool looping = false;
  std::uint32_t start = 0;  // 30 bits, wrapping

  static constexpr std::uint32_t kStartMask = 0x3FFFFFFFu;
  std::uint32_t Pack() const {
    return (start & kStartMask) << 2 | (looping ? 2u : 0u) | (playing ? 1u : 0u);
  }
  static Transport Unpack(std::uint32_t word) { return {(word & 1u) != 0, (word & 2u) != 0, word >> 2}; }
};

// A byte offset together with the number of the request that set it, in one
// word: a seek request from the callers, or the cursor the mixer publishes
// with the number of the last seek it has applied.
struct Positioned {
  std::uint32_t request = 0;
  std::uint32_t offset = 0;

  std::uint64_t Pack() const { return static_cast<std::uint64_t>(request) << 32 | offset; }
  static Positioned Unpack(std::uint64_t word) {
    return {static_cast<std::uint32_t>(word >> 32), static_cast<std::uint32_t>(word)};
  }
};

// Linear gains of the two output channels, in one word so a change of volume
// or pan always reaches the mixer as a pair.
struct StereoGains {
  float left = 1.0f;
  float right = 1.0f;

  std::uint64_t Pack() const {
    return static_cast<std::uint64_t>(std::bit_cast<std::uint32_t>(left)) << 32 | std::bit_cast<std::uint32_t>(right);
  }
  static StereoGains Unpack(std::uint64_t word) {
    return {std::bit_cast<float>(static_cast<std::uint32_t>(word >> 32)),
            std::bit_cast<float>(static_cast<std::uint32_t>(word))};
  }
  bool operator==(const StereoGains&) const = default;
};

// Orderings.  The mixer loads the callers' words once per pass, in this
// order: the play state, the seek, the write count, the step and the gains.  Callers store with
// release, after any other write the change depends on, and a pass that
// sees a store through its acquire (or stronger) load sees those writes too:
//  - SetCurrentPosition then Play stores the seek before the play state; the
//    mixer loads the play state first, so a pass that sees the new start
//    sees the seek with it.
//  - Unlock bumps the write count after the caller's bytes; the mixer's load
//    of it orders them before the pass's reads.  The count belongs to the
//    ring (SampleMemory::writes), not to one voice, so that a write through
//    one buffer is ordered before the reads of every buffer sharing it.
// Two stores are sequentially consistent instead, because the caller then
// reads the pass counter and must learn from it which passes may have missed
// the store: Stop's play state (it waits for such a pass to end, so the ring
// is free once it returns) and SetFrequency's step (the write cursor keeps
// the old step's span while such a pass runs).  That store-then-load needs
// both sides sequentially consistent: the mixer bumps the counter and then
// loads the play state and the step with seq_cst, the other words with
// acquire.  The mixer publishes its cursor and the end of a one-shot play
// with release once it has read the bytes behind them; callers load those
// with acquire, so that bytes they write behind the cursor can never be the
// ones the mixer is still reading.
struct VoiceControls {
  // Written by callers, read by the mixer.
  std::atomic<std::uint32_t> transport{0};   // Transport::Pack
  std::atomic<std::uint64_t> seek{0};        // Positioned::Pack: request number, byte offset
  std::atomic<std::uint64_t> gains{StereoGains{}.Pack()};
  std::atomic<std::uint64_t> step{0};        // source frames per output frame, 32.32 fixed point

  // Written by the mixer, read by callers.
  std::atomic<std::uint64_t> cursor{0};      // Positioned::Pack: last seek applied, play offset
  std::atomic<std::uint32_t> endedStart{Transport::kStartMask};  // start number whose one-shot play ended
};

}  // namespace velmo
