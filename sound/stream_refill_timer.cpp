#include "sound/stream_refill_timer.h"

#include <cstring>

#include "sound/stream_state.h"
#include "sound/stream_wrapping_read.h"
#include "velmo/platform/dsound.h"
#include "velmo/platform/services.h"

namespace velmo {
namespace {

// Fills one locked region: the file's next data, or silence while a halt is
// under way (the window thread is about to rewind or close the file).
void FillRegion(void* region, DWORD bytes, bool halting) {
  if (halting)
    std::memset(region, StreamSilenceValue(), bytes);
  else
    ReadStreamWrapping(bytes, static_cast<BYTE*>(region));
}

}  // namespace

void VSTimeRunFuncForDSound(UINT /*timerId*/, UINT /*message*/, DWORD_PTR /*user*/, DWORD_PTR /*reserved1*/,
                            DWORD_PTR /*reserved2*/) {
  bool restored = false;

  // One try: a tick that finds the lock held is skipped, and leaves it held.
  if (InterlockedExchange(&StreamLock, 1) != 0) return;
  auto release = [] { InterlockedExchange(&StreamLock, 0); };

  IDirectSoundBuffer* buffer = TimerBuffer;
  if (buffer == nullptr) {
    release();
    return;
  }

  // A tick whose status or cursor cannot be read has nothing valid to work
  // from; it leaves everything as it is and the next tick tries again.
  DWORD status = 0;
  if (FAILED(buffer->GetStatus(&status))) {
    release();
    return;
  }
  if ((status & DSBSTATUS_BUFFERLOST) != 0) {
    if (FAILED(buffer->Restore())) {
      release();
      return;
    }
    RefillPosition = 0;
    restored = true;
  }

  DWORD playCursor = 0;
  DWORD writeCursor = 0;
  if (FAILED(buffer->GetCurrentPosition(&playCursor, &writeCursor))) {
    release();
    return;
  }
  if (playCursor == RefillPosition && !restored) {
    release();
    return;
  }

  // The span played since the last refill; unsigned, so a cursor that has
  // wrapped past the buffer's end counts the bytes up to the end and on from 0.
  const DWORD played = playCursor >= RefillPosition ? playCursor - RefillPosition
                                                    : playCursor + StreamBufferBytes - RefillPosition;
  // A restored buffer holds nothing: a third of it is written from offset 0
  // and the buffer starts again.
  const DWORD count = restored ? (2 * StreamBufferBytes) / 6 : played;

  void* region1 = nullptr;
  void* region2 = nullptr;
  DWORD bytes1 = 0;
  DWORD bytes2 = 0;
  if (buffer->Lock(RefillPosition, count, &region1, &bytes1, &region2, &bytes2, 0) != DS_OK) {
    // RefillPosition stays, so the next tick asks for the larger span.
    OutputDebugStringA(kRefillLockFailedLine);
    release();
    return;
  }

  // Read once, so that both regions agree even if a halt begins between them.
  const bool halting = StreamHalting.load() != 0;
  if (bytes1 != 0) FillRegion(region1, bytes1, halting);
  // The second region, from offset 0, continues the file where the first
  // stopped.
  if (bytes2 != 0 && region2 != nullptr) FillRegion(region2, bytes2, halting);
  buffer->Unlock(region1, bytes1, region2, bytes2);

  RefillPosition += count;
  if (RefillPosition >= StreamBufferBytes) RefillPosition -= StreamBufferBytes;

  if (restored) buffer->Play(0, 0, DSBPLAY_LOOPING);

  release();
}

}  // namespace velmo
