#include "sound/stream_state.h"

namespace velmo {

InterlockedWord StreamLock{0};
LONG TimerActive = 0;
LONG StreamPlaying = 0;
LONG StreamOpen = 0;
UINT TimerId = 0;

}  // namespace velmo

namespace velmo {

void StopRefillTimer() {
  timeKillEvent(TimerId);
  timeEndPeriod(kRefillPeriodMs);
  while (InterlockedExchange(&StreamLock, 1) != 0) Sleep(kStreamLockRetryMs);
  TimerActive = 0;
}

}  // namespace velmo
