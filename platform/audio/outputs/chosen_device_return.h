// When an output playing on the default device in place of a chosen one
// that went away looks for the chosen one again, and tries to open it.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace velmo {

// The chosen device is looked for every kFirstWait in the list of devices,
// under its own name only: a device listed as "NAME (2)" may be another
// device with the same description (two identical headsets), not the one
// chosen.  A device listed but that will not open (another program holds
// it) is tried again after a wait that doubles at each failure up to
// kLongestWait; it starts again from kFirstWait once the device has left
// the list.  The watcher's own.
class ChosenDeviceReturn {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kFirstWait{250};
  static constexpr std::chrono::milliseconds kLongestWait{8000};

  // Playing on the default from `now`.
  void Start(Clock::time_point now) {
    wait_ = kFirstWait;
    next_ = now + kFirstWait;
  }

  bool LookDue(Clock::time_point now) const { return now >= next_; }

  // A look at the list at `now`: whether the chosen device is in it, to be
  // opened now.
  bool Listed(const std::vector<std::string>& names, const std::string& chosen, Clock::time_point now) {
    if (std::find(names.begin(), names.end(), chosen) != names.end()) return true;
    Start(now);
    return false;
  }

  // The device listed did not open at `now`.
  void OpenFailed(Clock::time_point now) {
    wait_ = std::min<Clock::duration>(2 * wait_, kLongestWait);
    next_ = now + wait_;
  }

 private:
  Clock::duration wait_ = kFirstWait;
  Clock::time_point next_{};
};

}  // namespace velmo
