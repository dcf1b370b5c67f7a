// The sample bytes of a buffer, which several buffers may share: a
// duplicate plays the same memory as its original, so a sound played by many
// voices at once is held, written and read once.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "velmo/platform/win_types.h"

namespace velmo {

// Reference counted by the voices that play it; the last one to go frees it.
// Only callers' threads take and drop references (a voice is created and
// destroyed there, never by the mixer), so the mixer reads the bytes as
// plain memory: no count, no lock and no allocation in a pass.
class SampleMemory {
 public:
  // The memory filled with `fill`, with one reference; null when it cannot
  // be had.
  static SampleMemory* Create(DWORD bytes, std::uint8_t fill) {
    std::unique_ptr<std::uint8_t[]> data(new (std::nothrow) std::uint8_t[bytes]);
    if (!data) return nullptr;
    std::memset(data.get(), fill, bytes);
    return new (std::nothrow) SampleMemory(std::move(data));
  }

  SampleMemory(const SampleMemory&) = delete;
  SampleMemory& operator=(const SampleMemory&) = delete;

  void AddRef() { references_.fetch_add(1, std::memory_order_relaxed); }
  // The last release frees the memory; acq_rel so that every sharer's use
  // of the bytes happens before they are freed.
  void Release() {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  std::uint8_t* bytes() const { return bytes_.get(); }

  // Bumped by every Unlock on any buffer that shares the memory, after the
  // caller's bytes; each voice's pass loads it with acquire before reading,
  // so a write through one buffer is ordered before the reads of all.
  std::atomic<std::uint32_t> writes{0};

 private:
  explicit SampleMemory(std::unique_ptr<std::uint8_t[]> bytes) : bytes_(std::move(bytes)) {}
  ~SampleMemory() = default;

  std::atomic<std::uint32_t> references_{1};
  std::unique_ptr<std::uint8_t[]> bytes_;
};

}  // namespace velmo
