// One secondary buffer's sample memory and playback state, as the mixer sees
// it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/audio/buffer_format.h"
#include "platform/audio/resampler.h"
#include "platform/audio/voice_lock.h"
#include "platform/win_types.h"

namespace velmo {

// Work areas the mixer lends a voice while it renders; fixed in size so that
// mixing allocates nothing.
struct VoiceScratch {
  static constexpr std::size_t kOutputFrames = 512;  // frames rendered per step
  static constexpr std::size_t kInputFrames = 2048;  // decoded frames per resampler call
  float output[2 * kOutputFrames];
  float input[2 * kInputFrames];
};

// Every field below `lock` is guarded by it, on the mixer's side as on the
// callers'.  The sample memory never moves and its size never changes, so the
// mixer holds a plain pointer to it for the voice's whole life.
class Voice {
 public:
  // Returns null when the memory or the resampler cannot be had.
  static std::unique_ptr<Voice> Create(const BufferFormat& format, DWORD bytes, DWORD outputRate);

  VoiceLock lock;

  const BufferFormat& format() const { return format_; }
  DWORD length() const { return length_; }
  std::uint8_t* data() { return data_.get(); }

  // Playback state.  `position` is the byte offset of the next byte the mixer
  // will consume, always below the length.
  bool playing = false;
  bool looping = false;
  DWORD position = 0;
  // The loss generation of the device the voice last belonged to; when the
  // device's moves on, the voice is lost.
  std::uint64_t generation = 0;

  // Gain of each output channel, from volume and pan.
  float gainLeft = 1.0f;
  float gainRight = 1.0f;
  // Playback rate; equal to the output rate means no conversion at all.
  DWORD frequency = 0;

  // Starts playing from `position`.
  void Start(bool loop);
  // Moves the position, starting the filter afresh if conversion is on.
  void Seek(DWORD newPosition);
  // Sets the playback rate; may allocate (the caller is never the mixer).
  bool SetFrequency(DWORD hz);

  // Adds `frames` frames of this voice, scaled by its gains, to the stereo
  // bus.  Called by the mixer with the lock held, only while playing.
  void MixInto(float* bus, std::size_t frames, VoiceScratch& scratch);

 private:
  Voice(const BufferFormat& format, DWORD bytes, DWORD outputRate, std::unique_ptr<std::uint8_t[]> data,
        std::unique_ptr<StereoResampler> resampler);

  bool converting() const { return frequency != outputRate_; }
  // Whole frames left before the end of the buffer, for one-shot play.
  std::size_t FramesToEnd() const { return (length_ - position) / format_.blockAlign; }
  void Advance(std::size_t frames);
  void Decode(std::size_t frames, float* stereo) const;
  std::size_t RenderDirect(std::size_t frames, float* out, VoiceScratch& scratch);
  std::size_t RenderConverted(std::size_t frames, float* out, VoiceScratch& scratch);
  void FinishOneShot();

  const BufferFormat format_;
  const DWORD length_;
  const DWORD outputRate_;
  std::unique_ptr<std::uint8_t[]> data_;
  std::unique_ptr<StereoResampler> resampler_;
  // After a one-shot buffer's last frame has gone into the resampler, this
  // many silent frames still go in to bring its tail out.
  bool draining_ = false;
  std::uint32_t drainFrames_ = 0;
};

}  // namespace velmo
