// One secondary buffer as the mixer plays it: the ring of sample bytes, the
// controls its callers set and the mixer's own state for it.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/audio/mixing/sample_format.h"
#include "platform/audio/mixing/voice_controls.h"
#include "platform/audio/mixing/voice_renderer.h"
#include "velmo/platform/win_types.h"

namespace velmo {

// The ring never moves and its size never changes, so callers write into it
// directly and the mixer reads it without a lock; which bytes each side may
// touch at a time is settled through `controls` (see VoiceControls).
class Voice {
 public:
  // Returns null when the memory cannot be had.
  static std::unique_ptr<Voice> Create(const BufferFormat& format, DWORD bytes, std::uint32_t outputRate,
                                       std::uint32_t rampFrames);

  const BufferFormat& format() const { return format_; }
  DWORD length() const { return length_; }
  std::uint8_t* ring() { return ring_.get(); }
  std::uint32_t outputRate() const { return outputRate_; }

  VoiceControls controls;

  // Mixing thread only: takes the callers' controls for a pass, then mixes
  // the pass with them.
  void ApplyControls() { renderer_.ApplyControls(source()); }
  void Mix(float* bus, std::size_t frames, RenderScratch& scratch) { renderer_.Mix(source(), bus, frames, scratch); }

  // Mixing thread too.  PrefetchHeader asks the processor for the voice's
  // own lines (the controls, the format); PrefetchData, once those have
  // arrived, for the renderer's state and the ring where it will read.
  // Hints: a voice touches about ten lines of its own besides its samples
  // every pass, all of them cold after the 10 ms since the last one, and a
  // pass that waits for each in turn spends longer on them than on mixing.
  void PrefetchHeader() const {
    const auto* self = reinterpret_cast<const char*>(this);
    const auto* end = reinterpret_cast<const char*>(&renderer_);
    for (const char* at = self; at < end; at += 64) __builtin_prefetch(at);
  }
  void PrefetchData() const { renderer_.Prefetch(ring_.get()); }

 private:
  Voice(const BufferFormat& format, DWORD bytes, std::uint32_t outputRate, std::uint32_t rampFrames,
        std::unique_ptr<std::uint8_t[]> ring);
  VoiceSource source() { return VoiceSource{format_, ring_.get(), length_, controls}; }

  const BufferFormat format_;
  const DWORD length_;
  const std::uint32_t outputRate_;
  std::unique_ptr<std::uint8_t[]> ring_;
  VoiceRenderer renderer_;
};

}  // namespace velmo
