// Entry points of the software audio device, for the platform's COM start-up.
#pragma once

#include "platform/dsound.h"

namespace velmo {

// Creates a device object that is not yet initialised, with one reference.
// Initialize opens the output that VELMO_AUDIO_OUTPUT names.
IDirectSound* CreateAudioDevice();

// Whether the audio output subsystem that VELMO_AUDIO_OUTPUT selects can be
// brought up at all.  It says nothing about whether a device will open.
bool AudioOutputSubsystemPresent();

}  // namespace velmo
