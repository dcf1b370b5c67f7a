#include "platform/audio/mixing/voice_renderer.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace velmo {
namespace {

// Calls `mix(bytes, frames)` for each stretch of `frames` whole frames of the
// ring from byte `offset` on, wrapping at its end.  When the length is not a
// multiple of the frame size, the frame that straddles the end takes its
// last bytes from the start, exactly as a caller writing the ring as a byte
// stream laid them down; that frame is gathered into a copy of its own.
template <typename Fn>
void ForEachRun(const VoiceSource& source, std::uint64_t offset, std::size_t frames, Fn&& mix) {
  const unsigned align = source.format.blockAlign;
  const std::uint64_t length = source.length;
  std::uint64_t at = offset;
  while (frames > 0) {
    if (at + align <= length) {
      const std::size_t run = std::min<std::size_t>(frames, (length - at) / align);
      mix(source.ring + at, run);
      at += static_cast<std::uint64_t>(run) * align;
      if (at == length) at = 0;
      frames -= run;
    } else {
      std::uint8_t frame[4 * kMaxBufferChannels];
      for (unsigned b = 0; b < align; ++b) frame[b] = source.ring[(at + b) % length];
      mix(frame, 1);
      at = (at + align) % length;
      frames -= 1;
    }
  }
}

}  // namespace

VoiceRenderer::VoiceRenderer(std::uint64_t step, std::uint32_t rampFrames)
    : step_(step), rampFrames_(rampFrames > 0 ? rampFrames : 1) {}

std::uint64_t VoiceRenderer::ReadAhead(std::uint64_t step, std::size_t frames) {
  const std::uint64_t consumed = (static_cast<std::uint64_t>(frames) * step + kUnitStep - 1) >> kStepFractionBits;
  return consumed + InterpolatorReach(step).after + 1;
}

void VoiceRenderer::ApplyControls(const VoiceSource& source) {
  VoiceControls& c = source.controls;
  // The play state and the step sequentially consistent, after the pass
  // counter: see SoftwareBuffer::Stop and SoftwareBuffer::SetFrequency.
  const Transport transport = Transport::Unpack(c.transport.load(std::memory_order_seq_cst));
  const Positioned seek = Positioned::Unpack(c.seek.load(std::memory_order_acquire));
  source.writes.load(std::memory_order_acquire);
  step_ = c.step.load(std::memory_order_seq_cst);
  const StereoGains gains = StereoGains::Unpack(c.gains.load(std::memory_order_acquire));

  const bool wasSounding = active_ || draining_;
  const bool seeked = seek.request != seekRequest_;
  if (seeked) {
    seekRequest_ = seek.request;
    position_ = seek.offset;
    phase_ = 0;
    draining_ = false;
  }
  looping_ = transport.looping;
  if (!transport.playing) {
    Stop();
  } else if (transport.start != start_) {
    // A new start.  One that finds the voice still reading the ring where
    // it was (a one-shot made looping before its end, or a stop this mixer
    // never saw) carries on from there, phase and history and all: nothing
    // was interrupted.  One that follows straight on from a tail still
    // draining keeps the history, so the two plays join without a click;
    // one from silence or after a seek starts from silence.
    start_ = transport.start;
    if (!active_ || seeked) {
      if (!draining_) {
        std::fill(std::begin(historyLeft_), std::end(historyLeft_), 0.0f);
        std::fill(std::begin(historyRight_), std::end(historyRight_), 0.0f);
      }
      phase_ = 0;
    }
    active_ = true;
    draining_ = false;
  }
  if (!(gains == target_)) {
    target_ = gains;
    rampLeft_ = rampFrames_;
  }
  // A voice that was silent takes its gains at once: there is nothing to
  // ramp from.
  if (!wasSounding) {
    gains_ = target_;
    rampLeft_ = 0;
  }
}

void VoiceRenderer::Stop() {
  active_ = false;
  draining_ = false;
}

std::size_t VoiceRenderer::FramesToEnd(const VoiceSource& source) const {
  return (source.length - position_) / source.format.blockAlign;
}

void VoiceRenderer::Advance(const VoiceSource& source, std::size_t frames) {
  const std::uint64_t next = position_ + static_cast<std::uint64_t>(frames) * source.format.blockAlign;
  position_ = static_cast<std::uint32_t>(next % source.length);
}

void VoiceRenderer::EndOneShot(const VoiceSource& source) {
  // The cursor stands at the end, which on a ring is its start; callers see
  // the play as over from now on, even while its last frames still leave
  // the interpolator, so a Play now starts it again.
  position_ = 0;
  active_ = false;
  source.controls.endedStart.store(start_, std::memory_order_release);
}

GainRun VoiceRenderer::TakeGains(std::size_t frames) {
  if (rampLeft_ == 0) return {gains_.left, gains_.right, 0.0f, 0.0f};
  // Frame i of the ramp (from 1) gets start + i * step, so its last frame
  // lands on the target.
  const float dl = (target_.left - gains_.left) / static_cast<float>(rampLeft_);
  const float dr = (target_.right - gains_.right) / static_cast<float>(rampLeft_);
  const GainRun run{gains_.left + dl, gains_.right + dr, dl, dr};
  rampLeft_ -= static_cast<std::uint32_t>(frames);
  if (rampLeft_ == 0) {
    gains_ = target_;
  } else {
    gains_.left += dl * static_cast<float>(frames);
    gains_.right += dr * static_cast<float>(frames);
  }
  return run;
}

void VoiceRenderer::PushHistory(const float* left, const float* right, std::size_t frames) {
  if (frames >= kHistory) {
    std::copy(left + frames - kHistory, left + frames, historyLeft_);
    if (right != nullptr) std::copy(right + frames - kHistory, right + frames, historyRight_);
    return;
  }
  std::memmove(historyLeft_, historyLeft_ + frames, (kHistory - frames) * sizeof(float));
  std::copy(left, left + frames, historyLeft_ + kHistory - frames);
  if (right != nullptr) {
    std::memmove(historyRight_, historyRight_ + frames, (kHistory - frames) * sizeof(float));
    std::copy(right, right + frames, historyRight_ + kHistory - frames);
  }
}

std::size_t VoiceRenderer::MixDirect(const VoiceSource& source, float* bus, std::size_t frames) {
  const std::size_t toEnd = looping_ ? frames : FramesToEnd(source);
  const std::size_t n = std::min(frames, toEnd);
  const BufferFormat& format = source.format;
  const bool silent = rampLeft_ == 0 && gains_.left == 0.0f && gains_.right == 0.0f;
  if (!silent) {
    float* out = bus;
    ForEachRun(source, position_, n, [&](const std::uint8_t* bytes, std::size_t run) {
      // A ramp that ends inside the run splits it.
      while (run > 0) {
        const std::size_t k = rampLeft_ > 0 ? std::min<std::size_t>(run, rampLeft_) : run;
        format.mix(bytes, k, format, TakeGains(k), out);
        bytes += k * format.blockAlign;
        out += 2 * k;
        run -= k;
      }
    });
  }
  // The interpolator may take over at any pass (a change of frequency), so
  // the frames just played stay in the history whichever path played them.
  const std::size_t kept = std::min<std::size_t>(n, kHistory);
  float left[kHistory], right[kHistory];
  std::size_t at = 0;
  const std::uint64_t from = (position_ + static_cast<std::uint64_t>(n - kept) * format.blockAlign) % source.length;
  ForEachRun(source, from, kept, [&](const std::uint8_t* bytes, std::size_t run) {
    format.decode(bytes, run, format, left + at, right + at);
    at += run;
  });
  PushHistory(left, format.channels == 1 ? nullptr : right, kept);

  Advance(source, n);
  if (!looping_ && n == toEnd) EndOneShot(source);  // at step 1 and phase 0 nothing is left to drain
  return n;
}

void VoiceRenderer::DecodeSpan(const VoiceSource& source, std::uint64_t offset, std::size_t frames,
                               std::size_t realFrames, float* left, float* right) {
  const BufferFormat& format = source.format;
  std::size_t at = 0;
  ForEachRun(source, offset, realFrames, [&](const std::uint8_t* bytes, std::size_t run) {
    format.decode(bytes, run, format, left + at, right + at);
    at += run;
  });
  std::fill(left + realFrames, left + frames, 0.0f);
  if (format.channels != 1) std::fill(right + realFrames, right + frames, 0.0f);
}

void VoiceRenderer::Accumulate(const float* __restrict stereo, std::size_t frames, float* __restrict bus) {
  while (frames > 0) {
    const std::size_t k = rampLeft_ > 0 ? std::min<std::size_t>(frames, rampLeft_) : frames;
    const GainRun g = TakeGains(k);
    if (g.leftStep == 0.0f && g.rightStep == 0.0f) {
      // Steady gains, as in the sample kernels: one multiply-add a sample,
      // four frames at a time, the same products as the ramped loop's.
      const float pattern[8] = {g.left, g.right, g.left, g.right, g.left, g.right, g.left, g.right};
      std::size_t i = 0;
      for (; i + 4 <= k; i += 4)
        for (std::size_t j = 0; j < 8; ++j) bus[2 * i + j] += pattern[j] * stereo[2 * i + j];
      for (; i < k; ++i) {
        bus[2 * i] += g.left * stereo[2 * i];
        bus[2 * i + 1] += g.right * stereo[2 * i + 1];
      }
      stereo += 2 * k;
      bus += 2 * k;
      frames -= k;
      continue;
    }
    for (std::size_t i = 0; i < k; ++i) {
      const float fi = static_cast<float>(i);
      bus[2 * i] += (g.left + fi * g.leftStep) * stereo[2 * i];
      bus[2 * i + 1] += (g.right + fi * g.rightStep) * stereo[2 * i + 1];
    }
    stereo += 2 * k;
    bus += 2 * k;
    frames -= k;
  }
}

std::size_t VoiceRenderer::MixInterpolated(const VoiceSource& source, float* bus, std::size_t frames,
                                           RenderScratch& scratch) {
  const KernelReach reach = InterpolatorReach(step_);
  // Output frames this step, so that the source frames they read fit the
  // scratch: the last output frame reads up to its integer position plus
  // the kernel's reach after it.
  constexpr std::uint64_t kRoom = RenderScratch::kSourceFrames - kHistory;
  const std::uint64_t room = (kRoom - 1 - reach.after) << kStepFractionBits;
  const std::uint64_t fit = room > phase_ ? (room - phase_) / step_ + 1 : 1;
  const std::size_t out = static_cast<std::size_t>(std::min<std::uint64_t>({frames, RenderScratch::kOutputFrames, fit}));
  const std::size_t span =
      static_cast<std::size_t>((phase_ + static_cast<std::uint64_t>(out - 1) * step_) >> kStepFractionBits) + 1 +
      reach.after;

  const std::size_t toEnd = looping_ ? span : (draining_ ? 0 : FramesToEnd(source));
  const bool mono = source.format.channels == 1;
  float* left = scratch.left;
  float* right = scratch.right;
  std::copy(std::begin(historyLeft_), std::end(historyLeft_), left);
  if (!mono) std::copy(std::begin(historyRight_), std::end(historyRight_), right);
  DecodeSpan(source, position_, span, std::min(span, toEnd), left + kHistory, right + kHistory);

  const std::size_t advanced =
      mono ? InterpolateMono(left + kHistory, &phase_, step_, scratch.out, out)
           : InterpolateStereo(left + kHistory, right + kHistory, &phase_, step_, scratch.out, out);
  Accumulate(scratch.out, out, bus);
  // The new history: the kHistory frames before the new position.
  PushHistory(left + kHistory, mono ? nullptr : right + kHistory, advanced);

  if (draining_) {
    drained_ += advanced;
    if (drained_ >= kHistory) draining_ = false;  // all the data has left the kernel
  } else if (!looping_ && advanced >= toEnd) {
    drained_ = advanced - toEnd;
    EndOneShot(source);
    draining_ = drained_ < kHistory;
  } else {
    Advance(source, advanced);
  }
  return out;
}

void VoiceRenderer::Mix(const VoiceSource& source, float* bus, std::size_t frames, RenderScratch& scratch) {
  while (frames > 0 && (active_ || draining_)) {
    const std::size_t done = step_ == kUnitStep && phase_ == 0 && !draining_
                                 ? MixDirect(source, bus, frames)
                                 : MixInterpolated(source, bus, frames, scratch);
    bus += 2 * done;
    frames -= done;
  }
  // The mixer has read every byte it will take from behind this cursor.
  source.controls.cursor.store(Positioned{seekRequest_, position_}.Pack(), std::memory_order_release);
}

}  // namespace velmo
