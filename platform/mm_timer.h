// The multimedia timer: periodic calls on a thread of their own.
#pragma once

#include "velmo/platform/platform.h"

namespace velmo {

constexpr MMRESULT TIMERR_NOERROR = 0;
constexpr MMRESULT TIMERR_NOCANDO = 97;
constexpr UINT TIME_ONESHOT = 0;
constexpr UINT TIME_PERIODIC = 1;

inline MMRESULT timeBeginPeriod(UINT period) { return CurrentPlatform().timeBeginPeriod(period); }
inline MMRESULT timeEndPeriod(UINT period) { return CurrentPlatform().timeEndPeriod(period); }
// Returns the new event's identifier, or 0 on failure.
inline MMRESULT timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK procedure, DWORD_PTR user, UINT flags) {
  return CurrentPlatform().timeSetEvent(delay, resolution, procedure, user, flags);
}
// Stops the event.  When it returns no further call of the procedure can
// start; a call already under way may still be running only when the event
// kills itself from inside its own procedure.
inline MMRESULT timeKillEvent(UINT timerId) { return CurrentPlatform().timeKillEvent(timerId); }

}  // namespace velmo
