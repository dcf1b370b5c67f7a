// The mixer's side of one voice: where it is in its buffer, the
// interpolator's phase and history, a one-shot play's tail and the gain
// ramp.  Only the mixing thread touches any of it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/audio/mixing/interpolator.h"
#include "platform/audio/mixing/sample_format.h"
#include "platform/audio/mixing/voice_controls.h"
#include "velmo/platform/win_types.h"

namespace velmo {

// Work areas the mixer lends a voice while it renders; fixed in size so that
// mixing allocates nothing.
struct RenderScratch {
  static constexpr std::size_t kOutputFrames = 256;  // interpolated frames per step
  static constexpr std::size_t kSourceFrames = 2048 + 2 * kMaxKernelReach + 2;
  alignas(64) float left[kSourceFrames];
  alignas(64) float right[kSourceFrames];
  alignas(64) float out[2 * kOutputFrames];
};

// What the renderer needs of the voice it belongs to: the ring and its
// format (fixed for the voice's life), the controls its callers set, and the
// count of writes into the ring, which every buffer sharing it bumps.
struct VoiceSource {
  const BufferFormat& format;
  const std::uint8_t* ring;
  DWORD length;
  VoiceControls& controls;
  std::atomic<std::uint32_t>& writes;
};

class VoiceRenderer {
 public:
  // `rampFrames` is how long a change of gain takes to reach its target.
  VoiceRenderer(std::uint64_t step, std::uint32_t rampFrames);

  // Adds `frames` frames of the voice to the stereo bus: applies what the
  // callers changed since the last pass, mixes, advances and publishes the
  // cursor.  Never blocks, never allocates.
  void Render(const VoiceSource& source, float* bus, std::size_t frames, RenderScratch& scratch) {
    ApplyControls(source);
    Mix(source, bus, frames, scratch);
  }
  // The two halves of Render, for a mixer that looks in between: takes the
  // callers' controls for this pass, then mixes with them.
  void ApplyControls(const VoiceSource& source);
  void Mix(const VoiceSource& source, float* bus, std::size_t frames, RenderScratch& scratch);

  // How far a pass of `frames` output frames may read past the play cursor,
  // in source frames, at a given step: for the write cursor's lead.
  static std::uint64_t ReadAhead(std::uint64_t step, std::size_t frames);

  // Asks the processor for the first lines of the ring the next pass reads
  // from, and for the renderer's own state.  A hint only: it reads nothing
  // but position_ (the mixing thread's own) and changes nothing.
  void Prefetch(const std::uint8_t* ring) const {
    const auto* self = reinterpret_cast<const char*>(this);
    for (std::size_t at = 0; at < sizeof *this; at += 64) __builtin_prefetch(self + at);
    for (std::size_t at = 0; at < 4 * 64; at += 64) __builtin_prefetch(ring + position_ + at);
  }

 private:
  static constexpr unsigned kHistory = kMaxKernelReach;

  // Mixes frames read straight from the ring: step 1 at phase 0.
  std::size_t MixDirect(const VoiceSource& source, float* bus, std::size_t frames);
  // Decodes, interpolates and mixes one step of at most kOutputFrames.
  std::size_t MixInterpolated(const VoiceSource& source, float* bus, std::size_t frames, RenderScratch& scratch);
  // Decodes `frames` source frames from `offset` into planar floats, the
  // frames past a one-shot's end as silence.
  void DecodeSpan(const VoiceSource& source, std::uint64_t offset, std::size_t frames, std::size_t realFrames,
                  float* left, float* right);
  void PushHistory(const float* left, const float* right, std::size_t frames);
  void Accumulate(const float* __restrict stereo, std::size_t frames, float* __restrict bus);
  GainRun TakeGains(std::size_t frames);
  void Advance(const VoiceSource& source, std::size_t frames);
  // The source frames a one-shot play has left before its end.
  std::size_t FramesToEnd(const VoiceSource& source) const;
  void EndOneShot(const VoiceSource& source);
  void Stop();

  // Caller state as last applied.
  std::uint32_t seekRequest_ = 0;
  std::uint32_t start_ = Transport::kStartMask;  // the start being played
  bool looping_ = false;
  std::uint64_t step_;
  StereoGains target_;

  // Mixer-owned playback state.
  bool active_ = false;     // reading the ring
  bool draining_ = false;   // a one-shot's last frames still leaving the interpolator
  std::size_t drained_ = 0; // source frames taken past the end while draining
  std::uint32_t position_ = 0;  // byte offset of the next frame to consume
  std::uint32_t phase_ = 0;     // fraction of a frame past position_, 0.32 fixed point

  // The last kHistory source frames before position_, decoded, oldest first.
  float historyLeft_[kHistory] = {};
  float historyRight_[kHistory] = {};

  // Gains as the mixer applies them, ramping towards target_.
  StereoGains gains_;
  std::uint32_t rampLeft_ = 0;
  const std::uint32_t rampFrames_;
};

}  // namespace velmo
