#include "sound/stream_state.h"

namespace velmo {

InterlockedWord StreamLock{0};
LONG TimerActive = 0;
LONG StreamPlaying = 0;
LONG StreamOpen = 0;
UINT TimerId = 0;

IDirectSoundBuffer* StreamBuffer = nullptr;
IDirectSoundBuffer* TimerBuffer = nullptr;
HMMIO StreamFile = nullptr;
WAVEFORMATEX* StreamFormat = nullptr;
MMCKINFO StreamRiffChunk{};
MMCKINFO StreamDataChunk{};
DWORD StreamBufferBytes = 0;
DWORD RefillPosition = 0;
std::atomic<LONG> StreamHalting{0};

}  // namespace velmo

namespace velmo {

void StopRefillTimer() {
  timeKillEvent(TimerId);
  timeEndPeriod(kRefillPeriodMs);
  while (InterlockedExchange(&StreamLock, 1) != 0) Sleep(kStreamLockRetryMs);
  TimerActive = 0;
}

}  // namespace velmo

namespace velmo {

BYTE StreamSilenceValue() {
  if (StreamFormat != nullptr && StreamFormat->wBitsPerSample == 8) return 0x80;
  return 0;
}

}  // namespace velmo
