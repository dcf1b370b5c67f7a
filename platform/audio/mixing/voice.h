// One secondary buffer as the mixer plays it: the ring of sample bytes (its
// own, or shared with the buffers duplicated from it), the controls its
// callers set and the mixer's own state for it.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/audio/mixing/sample_format.h"
#include "platform/audio/mixing/sample_memory.h"
#include "platform/audio/mixing/voice_controls.h"
#include "platform/audio/mixing/voice_renderer.h"
#include "velmo/platform/win_types.h"

namespace velmo {

// The ring never moves and its size never changes, so callers write into it
// directly and the mixer reads it without a lock; which bytes each side may
// touch at a time is settled through `controls` (see VoiceControls).  Voices
// that share a ring each hold a reference to it, and the mixer reads it
// through the voice's own pointer, as if it were the voice's alone.
class Voice {
 public:
  // A voice with a ring of its own, silent.  Returns null when the memory
  // cannot be had.
  static std::unique_ptr<Voice> Create(const BufferFormat& format, DWORD bytes, std::uint32_t outputRate,
                                       std::uint32_t rampFrames);
  // A voice that plays `original`'s ring, in its format, with controls and
  // play state of its own.  Returns null when the memory cannot be had.
  static std::unique_ptr<Voice> CreateSharing(const Voice& original, std::uint32_t rampFrames);
  ~Voice() { memory_->Release(); }
  Voice(const Voice&) = delete;
  Voice& operator=(const Voice&) = delete;

  const BufferFormat& format() const { return format_; }
  DWORD length() const { return length_; }
  std::uint8_t* ring() { return ring_; }
  SampleMemory& memory() { return *memory_; }
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
  void PrefetchData() const {
    __builtin_prefetch(&memory_->writes);
    renderer_.Prefetch(ring_);
  }

 private:
  // Takes over one reference to `memory`.
  Voice(const BufferFormat& format, DWORD bytes, std::uint32_t outputRate, std::uint32_t rampFrames,
        SampleMemory* memory);
  VoiceSource source() { return VoiceSource{format_, ring_, length_, controls, memory_->writes}; }

  const BufferFormat format_;
  const DWORD length_;
  const std::uint32_t outputRate_;
  SampleMemory* const memory_;
  std::uint8_t* const ring_;  // memory_->bytes(), kept here beside the voice's other hot fields
  VoiceRenderer renderer_;
};

}  // namespace velmo
