// Start-up and shutdown of the audio device.
#include "platform/com.h"
#include "sound/engine_state.h"
#include "sound/stream_state.h"
#include "velmo/platform/acm.h"
#include "velmo/platform/services.h"
#include "velmo/sound/vs_sound.h"

namespace velmo {

LONG VSSound::InitDSound(HWND window) {
  OwnerWindow = window;
  StreamLock.store(0);
  TimerActive = 0;
  StreamPlaying = 0;
  StreamOpen = 0;
  TimerId = 0;

  // The metric itself is not used: a successful query proves that the audio
  // subsystem is there at all.
  DWORD maxFormatSize = 0;
  if (acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &maxFormatSize) != MMSYSERR_NOERROR) {
    MessageBoxA(OwnerWindow, "ACM Metrics failed, aborting", "Velmo Sound ERROR!", MB_ICONERROR);
    return 0;
  }

  if (FAILED(CoInitialize(nullptr))) {
    MessageBoxA(OwnerWindow, "Failed to initialize COM library", "Velmo Sound ERROR!", MB_ICONERROR);
    return 0;
  }

  const HRESULT created = CoCreateInstance(CLSID_DirectSound, nullptr, CLSCTX_INPROC_SERVER, IID_IDirectSound,
                                           reinterpret_cast<void**>(&DSoundObject));
  bool ready = false;
  bool reportCreationFailure = false;
  if (SUCCEEDED(created) && DSoundObject != nullptr) {
    if (SUCCEEDED(DSoundObject->Initialize(nullptr))) {
      if (SUCCEEDED(DSoundObject->SetCooperativeLevel(OwnerWindow, DSSCL_PRIORITY))) {
        ready = true;
      } else {
        DSoundObject->Release();
        DSoundObject = nullptr;
      }
    } else {
      // No output could be opened.  Carrying on would report a device that
      // does not exist as ready, so this ends start-up like a failed
      // creation, with the same message.
      DSoundObject->Release();
      DSoundObject = nullptr;
      reportCreationFailure = true;
    }
  } else {
    DSoundObject = nullptr;
    reportCreationFailure = true;
  }

  if (reportCreationFailure)
    MessageBoxA(OwnerWindow, "Failed to create DirectSound COM object", "Velmo Sound Error!", MB_ICONERROR);

  if (ready) {
    DSoundReady = 1;
    return 1;
  }
  CoUninitialize();
  DSoundReady = 0;
  return 0;
}

void VSSound::CloseDSound() {
  if (DSoundReady != 1) return;

  HaltStream(3);
  // HaltStream has normally stopped the timer already.
  if (TimerActive == 1) StopRefillTimer();

  if (DSoundObject != nullptr) {
    DSoundObject->Release();
    DSoundObject = nullptr;
    CoUninitialize();
  }
}

}  // namespace velmo
