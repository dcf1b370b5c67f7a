// Engine-wide device state, shared by every part of the library.
#pragma once

#include "velmo/platform/dsound.h"

namespace velmo {

// 1 after a successful start-up.  Every library operation does nothing
// unless it is exactly 1.  Shutting down does not clear it.
extern LONG DSoundReady;

// The device object, or null before start-up and after shutdown.
extern IDirectSound* DSoundObject;

}  // namespace velmo

namespace velmo {

// Creates a buffer on DSoundObject.  Once the device has been released (or
// before it exists) this refuses the creation with DSERR_UNINITIALIZED
// instead of reaching through a null pointer.
HRESULT CreateDeviceBuffer(const DSBUFFERDESC* desc, IDirectSoundBuffer** buffer);

}  // namespace velmo
