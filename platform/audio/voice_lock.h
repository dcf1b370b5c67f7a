// The lock that guards one voice's state between the device's callers and
// the mixer.
#pragma once

#include <atomic>
#include <thread>

namespace velmo {

// A tiny spin lock with two ways in.  Callers of the buffer interface take it
// with lock(), which spins and then yields until it is free; they hold it only
// for a few field updates or a bounded copy.  The mixer only ever calls
// try_lock(): if a caller holds the voice, the mixer leaves that voice out of
// the current period instead of waiting, so the output thread can never be
// held up by another thread.  A skipped period costs that one voice a few
// milliseconds and only when a call collides with the mix, which is rare
// because the holds are short.
class VoiceLock {
 public:
  bool try_lock() {
    if (held_.load(std::memory_order_relaxed)) return false;
    return !held_.exchange(true, std::memory_order_acquire);
  }
  void lock() {
    for (int attempt = 0; !try_lock(); ++attempt)
      if (attempt >= 64) std::this_thread::yield();
  }
  void unlock() { held_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> held_{false};
};

}  // namespace velmo
