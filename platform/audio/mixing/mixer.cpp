#include "platform/audio/mixing/mixer.h"

#include <algorithm>
#include <thread>

namespace velmo {

Mixer::Mixer(std::uint32_t sampleRate, std::uint32_t periodFrames)
    : sampleRate_(sampleRate), periodFrames_(periodFrames) {}

int Mixer::Attach(Voice* voice, const void* owner) {
  std::lock_guard<std::mutex> guard(attachMutex_);
  for (std::size_t i = 0; i < kMaxVoices; ++i) {
    if (slots_[i].load(std::memory_order_relaxed) == nullptr) {
      owners_[i] = owner;
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
  {
    std::lock_guard<std::mutex> guard(attachMutex_);
    owners_[static_cast<std::size_t>(slot)] = nullptr;
    slots_[static_cast<std::size_t>(slot)].store(nullptr, std::memory_order_seq_cst);
  }
  WaitForPassInProgress();
}

bool Mixer::Attached(const void* owner) const {
  if (owner == nullptr) return false;
  std::lock_guard<std::mutex> guard(attachMutex_);
  const std::size_t used = slotsInUse_.load(std::memory_order_relaxed);
  return std::find(owners_.begin(), owners_.begin() + used, owner) != owners_.begin() + used;
}

void Mixer::WaitForPassInProgress() const {
  const std::uint64_t seen = pass_.load(std::memory_order_seq_cst);
  if (seen % 2 == 0) return;  // no pass running
  while (pass_.load(std::memory_order_seq_cst) == seen) std::this_thread::yield();
}

void Mixer::Render(float* stereo, std::size_t frames) {
  pass_.fetch_add(1, std::memory_order_seq_cst);
  std::fill(stereo, stereo + 2 * frames, 0.0f);
  const std::size_t used = slotsInUse_.load(std::memory_order_seq_cst);
  PassProbe* probe = probe_.load(std::memory_order_acquire);
  // While one voice mixes, the processor fetches what the next two will
  // read: the voice after next its header, the next one (whose header came
  // in a voice ago) its state and samples.  Every voice loaded here stays
  // alive until the pass ends (Detach waits for it).
  Voice* next = used > 0 ? slots_[0].load(std::memory_order_seq_cst) : nullptr;
  if (next != nullptr) next->PrefetchHeader();
  Voice* afterNext = used > 1 ? slots_[1].load(std::memory_order_seq_cst) : nullptr;
  for (std::size_t i = 0; i < used; ++i) {
    Voice* voice = next;
    next = afterNext;
    afterNext = i + 2 < used ? slots_[i + 2].load(std::memory_order_seq_cst) : nullptr;
    if (afterNext != nullptr) afterNext->PrefetchHeader();
    if (voice == nullptr) continue;
    if (next != nullptr) next->PrefetchData();
    voice->ApplyControls();
    if (probe != nullptr) probe->ControlsTaken(i);
    voice->Mix(stereo, frames, scratch_);
  }
  // As max then min, the clamp is two vector instructions per four or eight
  // samples (std::clamp's branches are not vectorised); the result is the
  // same, a number that is not one included.
  for (std::size_t i = 0; i < 2 * frames; ++i) stereo[i] = std::min(std::max(stereo[i], -1.0f), 1.0f);
  pass_.fetch_add(1, std::memory_order_seq_cst);
}

}  // namespace velmo
