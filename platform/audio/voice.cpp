#include "platform/audio/voice.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace velmo {

std::unique_ptr<Voice> Voice::Create(const BufferFormat& format, DWORD bytes, DWORD outputRate) {
  std::unique_ptr<std::uint8_t[]> data(new (std::nothrow) std::uint8_t[bytes]);
  if (!data) return nullptr;
  std::memset(data.get(), format.silenceByte, bytes);
  auto resampler = StereoResampler::Create(format.sampleRate, outputRate);
  if (!resampler) return nullptr;
  return std::unique_ptr<Voice>(new Voice(format, bytes, outputRate, std::move(data), std::move(resampler)));
}

Voice::Voice(const BufferFormat& format, DWORD bytes, DWORD outputRate, std::unique_ptr<std::uint8_t[]> data,
             std::unique_ptr<StereoResampler> resampler)
    : frequency(format.sampleRate),
      format_(format),
      length_(bytes),
      outputRate_(outputRate),
      data_(std::move(data)),
      resampler_(std::move(resampler)) {}

void Voice::Start(bool loop) {
  looping = loop;
  // Already running: only the looping mode changes.  A one-shot buffer that
  // is only draining its converter's tail has ended, so it starts again.
  if (playing && !draining_) return;
  playing = true;
  draining_ = false;
  resampler_->Restart();
}

void Voice::Seek(DWORD newPosition) {
  position = newPosition;
  draining_ = false;
  resampler_->Restart();
}

bool Voice::SetFrequency(DWORD hz) {
  if (hz == frequency) return true;
  const bool wasConverting = converting();
  if (!resampler_->SetRates(hz, outputRate_)) return false;
  frequency = hz;
  // Switching conversion on mid-play starts the filter clean; changing the
  // ratio of a running conversion keeps its history so the pitch glides.
  if (!wasConverting && converting()) resampler_->Restart();
  return true;
}

void Voice::Advance(std::size_t frames) {
  const std::uint64_t next = position + static_cast<std::uint64_t>(frames) * format_.blockAlign;
  position = static_cast<DWORD>(next % length_);
}

// Reads the ring byte by byte modulo its length: when the length is not a
// multiple of the frame size, the frame that straddles the end takes its
// last bytes from the start, exactly as a caller writing the ring as a byte
// stream laid them down.
void Voice::Decode(std::size_t frames, float* stereo) const {
  const unsigned align = format_.blockAlign;
  std::uint64_t at = position;
  while (frames > 0) {
    if (at + align <= length_) {
      const std::size_t run = std::min<std::size_t>(frames, (length_ - at) / align);
      format_.decode(data_.get() + at, run, format_, stereo);
      at += static_cast<std::uint64_t>(run) * align;
      if (at == length_) at = 0;
      stereo += 2 * run;
      frames -= run;
    } else {
      std::uint8_t frame[4 * kMaxBufferChannels];
      for (unsigned b = 0; b < align; ++b) frame[b] = data_[(at + b) % length_];
      format_.decode(frame, 1, format_, stereo);
      at = (at + align) % length_;
      stereo += 2;
      frames -= 1;
    }
  }
}

void Voice::FinishOneShot() {
  playing = false;
  draining_ = false;
  position = 0;
}

std::size_t Voice::RenderDirect(std::size_t frames, float* out, VoiceScratch&) {
  if (draining_) {  // the rate came back to the output's while a tail drained
    FinishOneShot();
    return 0;
  }
  if (looping) {
    Decode(frames, out);
    Advance(frames);
    return frames;
  }
  const std::size_t left = FramesToEnd();
  const std::size_t n = std::min(frames, left);
  Decode(n, out);
  Advance(n);
  if (n == left) FinishOneShot();
  return n;
}

std::size_t Voice::RenderConverted(std::size_t frames, float* out, VoiceScratch& scratch) {
  std::size_t produced = 0;
  while (produced < frames && playing) {
    const std::size_t wanted = frames - produced;
    // Offer about as many input frames as the output still needs, plus a
    // couple for rounding: the resampler takes only what it needs and the
    // rest is decoded again next time from the unchanged position.
    std::size_t offer = static_cast<std::size_t>(static_cast<std::uint64_t>(wanted) * frequency / outputRate_) + 2;
    offer = std::min(offer, VoiceScratch::kInputFrames);
    std::size_t dataLeft = 0;
    if (draining_) {
      offer = std::min<std::size_t>(offer, drainFrames_);
      std::fill(scratch.input, scratch.input + 2 * offer, 0.0f);
    } else {
      if (!looping) {
        dataLeft = FramesToEnd();
        offer = std::min(offer, dataLeft);
        if (offer == 0) {
          draining_ = true;
          drainFrames_ = resampler_->InputLatency();
          position = 0;
          continue;
        }
      }
      Decode(offer, scratch.input);
    }
    std::uint32_t consumed = static_cast<std::uint32_t>(offer);
    std::uint32_t made = static_cast<std::uint32_t>(wanted);
    resampler_->Process(scratch.input, &consumed, out + 2 * produced, &made);
    produced += made;
    if (draining_) {
      drainFrames_ -= std::min(drainFrames_, consumed);
      if (drainFrames_ == 0) FinishOneShot();
    } else {
      Advance(consumed);
      if (!looping && consumed == dataLeft) {
        draining_ = true;
        drainFrames_ = resampler_->InputLatency();
        position = 0;
      }
    }
    if (consumed == 0 && made == 0) break;  // cannot progress this period
  }
  return produced;
}

void Voice::MixInto(float* bus, std::size_t frames, VoiceScratch& scratch) {
  while (frames > 0 && playing) {
    const std::size_t step = std::min(frames, VoiceScratch::kOutputFrames);
    const std::size_t made =
        converting() ? RenderConverted(step, scratch.output, scratch) : RenderDirect(step, scratch.output, scratch);
    const float gl = gainLeft, gr = gainRight;
    for (std::size_t i = 0; i < made; ++i) {
      bus[2 * i] += gl * scratch.output[2 * i];
      bus[2 * i + 1] += gr * scratch.output[2 * i + 1];
    }
    bus += 2 * step;
    frames -= step;
  }
}

}  // namespace velmo
