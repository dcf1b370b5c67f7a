// Engine-wide state of the one stream, shared by the window thread and the
// refill timer's thread.
#pragma once

#include "platform/mm_timer.h"
#include "platform/services.h"

namespace velmo {

// The lock word between the window thread and the refill timer: 0 free, 1
// held.  Taken only by atomic exchange with 1.
extern InterlockedWord StreamLock;
// 1 while the periodic refill event exists.
extern LONG TimerActive;
// 1 after PlayStream started the buffer.
extern LONG StreamPlaying;
// 1 while a stream file and its buffer are held.
extern LONG StreamOpen;
// The refill event's identifier, as timeSetEvent returned it.
extern UINT TimerId;

}  // namespace velmo

namespace velmo {

// The refill event's period and resolution, in milliseconds.
constexpr UINT kRefillPeriodMs = 50;
constexpr UINT kRefillResolutionMs = 10;
// How long the window thread sleeps between attempts on StreamLock.
constexpr DWORD kStreamLockRetryMs = 100;

// Kills the refill event, ends its timer period and takes StreamLock,
// retrying every 100 ms until a tick still under way has let go of it.  The
// lock stays held, so that a tick delivered after the kill does nothing.
// Clears TimerActive.  Call only while TimerActive is 1.
void StopRefillTimer();

}  // namespace velmo
