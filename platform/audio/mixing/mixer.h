// The software mixer: the table of voices and the pass that mixes them.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/audio/audio_output.h"
#include "platform/audio/mixing/voice.h"

namespace velmo {

// Voices live in a fixed table of atomic pointers, so the mixer never takes a
// lock to find them and the table never reallocates under it.  Each voice is
// owned by its buffer; the mixer only borrows it during a pass.
//
// Reclamation: a buffer that goes away first clears its slot, then waits for
// the pass in progress (if any) to finish before it frees the voice.  The
// pass counter is odd while a pass runs.  The mixer bumps it, then reads the
// slots; the remover clears its slot, then reads the counter.  With both
// sides sequentially consistent, either the pass sees the empty slot or the
// remover sees the pass running and waits for it; the wait is short because
// a pass never blocks.  The waiting happens on the remover's thread, never on
// the mixer's.
// A look into the middle of a pass, for tests that must catch one there:
// called on the mixing thread for each voice once it has taken its callers'
// controls for the pass and before it reads its ring.  A probe may block the
// pass, which no output ever may; only tests install one.
class PassProbe {
 public:
  virtual void ControlsTaken(std::size_t slot) = 0;

 protected:
  ~PassProbe() = default;
};

class Mixer final : public MixSource {
 public:
  static constexpr std::size_t kMaxVoices = 4096;

  Mixer(std::uint32_t sampleRate, std::uint32_t periodFrames);

  std::uint32_t sampleRate() const { return sampleRate_; }
  std::uint32_t periodFrames() const { return periodFrames_; }

  // Puts a voice in the table; returns its slot, or -1 when the table is full.
  // `owner` is what the voice belongs to (its buffer), recorded so that
  // Attached can tell a live owner from a pointer to anything else.
  int Attach(Voice* voice, const void* owner = nullptr);
  // Takes the voice out of the table; once this returns the mixer no longer
  // touches it and it may be freed.
  void Detach(int slot);
  // Whether `owner` has a voice in the table now.  Compares addresses only,
  // so it may be asked about a pointer to something already freed.
  bool Attached(const void* owner) const;

  // Mixes every playing voice into `stereo` and clips the result to full
  // scale.  Takes no lock, allocates nothing and never waits: every voice
  // in the table is mixed and advanced in every pass.
  void Render(float* stereo, std::size_t frames) override;

  // Returns once no pass that began before the call is still running, so
  // that whatever such a pass might have been reading may change.  Callers
  // only; it waits on their thread.
  void WaitForPassInProgress() const;
  // The pass counter: odd while a pass runs.  Sequentially consistent, so a
  // caller that stores a control sequentially consistent and then reads an
  // odd count knows the pass with that count may have missed the store, and
  // that every later pass will see it.
  std::uint64_t passes() const { return pass_.load(std::memory_order_seq_cst); }

  // Installs a probe (null removes it); it takes effect from the next pass.
  void SetPassProbe(PassProbe* probe) { probe_.store(probe, std::memory_order_release); }

  // After the device is gone its buffers still hold the mixer; they fail
  // every call from then on.
  void Shutdown() { alive_.store(false, std::memory_order_release); }
  bool alive() const { return alive_.load(std::memory_order_acquire); }

 private:
  const std::uint32_t sampleRate_;
  const std::uint32_t periodFrames_;
  std::array<std::atomic<Voice*>, kMaxVoices> slots_{};
  // One past the highest slot ever used, so a pass reads only that far.
  std::atomic<std::size_t> slotsInUse_{0};
  std::atomic<std::uint64_t> pass_{0};
  std::atomic<bool> alive_{true};
  std::atomic<PassProbe*> probe_{nullptr};
  // Serialises Attach, Detach and Attached between callers, and guards
  // owners_; the mixer never takes it.
  mutable std::mutex attachMutex_;
  std::array<const void*, kMaxVoices> owners_{};
  RenderScratch scratch_;
};

}  // namespace velmo
