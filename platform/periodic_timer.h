// Periodic and one-shot timer events, each on a thread of its own, paced by
// the steady clock.  This is the engine behind the multimedia timer calls.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "velmo/platform/platform.h"

namespace velmo {

class PeriodicTimer {
 public:
  PeriodicTimer() = default;
  // Kills every event that is still running.
  ~PeriodicTimer();
  PeriodicTimer(const PeriodicTimer&) = delete;
  PeriodicTimer& operator=(const PeriodicTimer&) = delete;

  // Requests a timer resolution of `period` milliseconds (1 to 1000000).
  // Events are paced by the steady clock whatever is requested, so this only
  // keeps count, so that each end matches a begin.
  MMRESULT BeginPeriod(UINT period);
  MMRESULT EndPeriod(UINT period);

  // Starts an event that calls `procedure` every `delay` milliseconds
  // (TIME_PERIODIC) or once (TIME_ONESHOT).  Returns its identifier, never 0,
  // or 0 when the arguments are refused.
  UINT SetEvent(UINT delay, UINT resolution, LPTIMECALLBACK procedure, DWORD_PTR user, UINT flags);

  // Stops the event.  On return no further call of its procedure can start,
  // and a call that was under way has finished, except when the procedure
  // kills its own event: it then finishes after this returns.
  MMRESULT KillEvent(UINT timerId);

  // Number of begun, not yet ended periods (for diagnostics and tests).
  int OpenPeriods() const;

 private:
  struct Event;
  static void Run(std::shared_ptr<Event> event);

  mutable std::mutex mutex_;
  std::map<UINT, std::shared_ptr<Event>> events_;
  std::map<UINT, int> periods_;
  UINT nextId_ = 1;
};

}  // namespace velmo
