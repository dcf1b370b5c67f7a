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
// starts a voice (rather than changing the looping mode of one already
// playing) takes the next start number, so the mixer can tell a new start
// from the state it is already playing.
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

// Orderings.  Callers store with release, after any other write the change
// depends on (Restore clears the ring, then publishes the generation); the
// mixer loads with acquire, once per pass, in the reverse of the order in
// which a caller writes them (generation, transport, seek, then the rest),
// so that a pass which sees a new start also sees the seek and the sample
// bytes written before it.  The mixer publishes its cursor and the end of a
// one-shot play with release once it has read the bytes behind them; callers
// load those with acquire, so that bytes they write behind the cursor can
// never be the ones the mixer is still reading.  The play state alone is
// stored and loaded sequentially consistent: Stop must know, by the pass
// counter, that no pass which missed the stop is still reading.
struct VoiceControls {
  // Written by callers, read by the mixer.
  std::atomic<std::uint64_t> generation{0};  // loss generation the voice belongs to
  std::atomic<std::uint32_t> transport{0};   // Transport::Pack
  std::atomic<std::uint64_t> seek{0};        // Positioned::Pack: request number, byte offset
  std::atomic<std::uint64_t> gains{StereoGains{}.Pack()};
  std::atomic<std::uint64_t> step{0};        // source frames per output frame, 32.32 fixed point
  // Bumped by every Unlock: the mixer's acquire of it orders the bytes a
  // caller wrote before the mixer's reads of them.
  std::atomic<std::uint32_t> writes{0};

  // Written by the mixer, read by callers.
  std::atomic<std::uint64_t> cursor{0};      // Positioned::Pack: last seek applied, play offset
  std::atomic<std::uint32_t> endedStart{Transport::kStartMask};  // start number whose one-shot play ended
};

}  // namespace velmo
