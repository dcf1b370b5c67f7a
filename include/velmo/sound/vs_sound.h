// The Velmo Sound engine.
//
// One instance, owned by the program, carries the window that owns the
// device and every message box.  Every operation of the library is a member;
// the stream operations work on engine-wide state and ignore the instance.
// Nothing here throws: results are plain integers, and failures the user
// must know about are shown in message boxes owned by OwnerWindow.
#pragma once

#include "velmo/platform/win_types.h"

namespace velmo {

struct StaticSound;

class VSSound {
 public:
  HWND OwnerWindow;

  // --- The device ---
  // Starts the audio device on `window`.  1 when ready, 0 when start-up
  // failed (the user has been told, except when the cooperative level was
  // refused).
  LONG InitDSound(HWND window);
  // Stops and closes any stream, stops the refill timer, releases the device
  // and ends COM use.  The engine must not be started again afterwards.
  void CloseDSound();

  // --- Static sounds ---
  StaticSound* LoadStatic(const char* fileName);
  LONG PlayStatic(StaticSound* sound);
  LONG StopStatic(StaticSound* sound);
  LONG CreateStaticBuffer(StaticSound* sound);
  void ReleaseStaticBuffer(StaticSound* sound);
  LONG ApplyVolume(StaticSound* sound);
  LONG ApplyPan(StaticSound* sound);
  LONG ApplyFrequency(StaticSound* sound);
  LONG IsPCMWave(const char* fileName);

  // --- The stream ---
  LONG OpenStream(const char* fileName);
  void PlayStream();
  void StopStream();
  // Bit 0 of `mode` clear: stop and rewind.  Set: stop and close.
  void HaltStream(LONG mode);
  LONG CreateStreamBuffer(const char* fileName);
  void RewindStream();
  HRESULT FillStreamBuffer();
};

}  // namespace velmo
