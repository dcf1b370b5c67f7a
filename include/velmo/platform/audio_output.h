// What a program on the library can ask about where its sound goes.  The
// output itself is chosen before the device starts, by the environment:
// VELMO_AUDIO_OUTPUT (sdl, pipewire, null or capture:PATH), and
// VELMO_AUDIO_DEVICE, the sound device to play on.
#pragma once

namespace velmo {

// Whether a capture file (VELMO_AUDIO_OUTPUT=capture:PATH) that this
// process finished writing missed sound: a write failed or the disk filled.
// The file stays a valid WAVE file holding what was written before; one
// line on standard error said so when it was closed.
bool CaptureWasCutShort();

}  // namespace velmo
