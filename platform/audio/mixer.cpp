#include "platform/audio/mixer.h"

#include <algorithm>
#include <thread>

namespace velmo {

Mixer::Mixer(std::uint32_t sampleRate, std::uint32_t periodFrames)
    : sampleRate_(sampleRate), periodFrames_(periodFrames) {}

int Mixer::Attach(Voice* voice) {
  std::lock_guard<std::mutex> guard(attachMutex_);
  for (std::size_t i = 0; i < kMaxVoices; ++i) {
    if (slots_[i].load(std::memory_order_relaxed) == nullptr) {
      slots_[i].store(voice, std::memory_order_seq_cst);
      if (i + 1 > slotsInUse_.load(std::memory_order_relaxed))
        slotsInUse_.store(i + 1, std::memory_order_seq_cst);
      return static_cast<int>(i);
    }
  }
  return -1;
}

void Mixer::Detach(int slot) {
  if (slot < 0) return;
  slots_[static_cast<std::size_t>(slot)].store(nullptr, std::memory_order_seq_cst);
  const std::uint64_t seen = pass_.load(std::memory_order_seq_cst);
  if (seen % 2 == 0) return;  // no pass running: none can still hold the voice
  while (pass_.load(std::memory_order_seq_cst) == seen) std::this_thread::yield();
}

void Mixer::Render(float* stereo, std::size_t frames) {
  pass_.fetch_add(1, std::memory_order_seq_cst);
  std::fill(stereo, stereo + 2 * frames, 0.0f);
  const std::uint64_t current = generation_.load(std::memory_order_acquire);
  const std::size_t used = slotsInUse_.load(std::memory_order_seq_cst);
  for (std::size_t i = 0; i < used; ++i) {
    Voice* voice = slots_[i].load(std::memory_order_seq_cst);
    if (voice == nullptr || !voice->lock.try_lock()) continue;
    if (voice->generation != current) voice->playing = false;  // lost with the device
    if (voice->playing) voice->MixInto(stereo, frames, scratch_);
    voice->lock.unlock();
  }
  for (std::size_t i = 0; i < 2 * frames; ++i) stereo[i] = std::clamp(stereo[i], -1.0f, 1.0f);
  pass_.fetch_add(1, std::memory_order_seq_cst);
}

void Mixer::MarkLost() {
  available_.store(false, std::memory_order_release);
  generation_.fetch_add(1, std::memory_order_acq_rel);
}

void Mixer::MarkRestored() { available_.store(true, std::memory_order_release); }

}  // namespace velmo
