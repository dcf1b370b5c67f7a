// The procedure of the stream's periodic refill event.
#pragma once

#include <type_traits>

#include "velmo/platform/platform.h"

namespace velmo {

// The debugger line written when a tick cannot lock the stream buffer.
inline constexpr const char* kRefillLockFailedLine = "VSTimeRunFuncForDSound() could not lock DirectSoundBuffer";

// One refill tick, run by the timer thread every 50 ms while the stream
// plays.  It refills the part of the looping buffer played since the last
// tick with the file's next data (silence while a halt is under way), and
// recovers a buffer whose memory the device has lost.  It does nothing when
// StreamLock is held.  None of the arguments is read.  Allocates nothing and
// never waits.
void VSTimeRunFuncForDSound(UINT timerId, UINT message, DWORD_PTR user, DWORD_PTR reserved1, DWORD_PTR reserved2);

static_assert(std::is_same_v<decltype(&VSTimeRunFuncForDSound), LPTIMECALLBACK>,
              "the tick is registered with timeSetEvent as it stands");

}  // namespace velmo
