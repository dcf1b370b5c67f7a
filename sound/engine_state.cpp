#include "sound/engine_state.h"

namespace velmo {

LONG DSoundReady = 0;
IDirectSound* DSoundObject = nullptr;

}  // namespace velmo

namespace velmo {

HRESULT CreateDeviceBuffer(const DSBUFFERDESC* desc, IDirectSoundBuffer** buffer) {
  if (DSoundObject == nullptr) {
    if (buffer) *buffer = nullptr;
    return DSERR_UNINITIALIZED;
  }
  return DSoundObject->CreateSoundBuffer(desc, buffer, nullptr);
}

}  // namespace velmo
