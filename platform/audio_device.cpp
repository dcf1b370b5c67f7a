#include "platform/audio_device.h"

#include <SDL.h>

#include <cstdlib>

#include "platform/audio/output_selection.h"
#include "platform/audio/software_device.h"

namespace velmo {

IDirectSound* CreateAudioDevice() { return CreateAudioDeviceWithOutput(nullptr); }

// For SDL the question is whether its audio subsystem comes up (a driver
// exists), not whether a device will open; the null and capture outputs
// need nothing.  A value of VELMO_AUDIO_OUTPUT that names no output means no
// subsystem can be brought up.
bool AudioOutputSubsystemPresent() {
  OutputChoice choice;
  if (!ParseOutputChoice(std::getenv("VELMO_AUDIO_OUTPUT"), &choice)) return false;
  if (choice.kind != OutputKind::kSdl) return true;
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return false;
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
  return true;
}

}  // namespace velmo
