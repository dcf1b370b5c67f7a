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
