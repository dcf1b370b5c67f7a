#include "platform/audio_device.h"

#include "platform/audio/output_selection.h"
#include "platform/audio/software_device.h"

namespace velmo {

IDirectSound* CreateAudioDevice() { return CreateAudioDeviceWithOutput(nullptr); }

bool AudioOutputSubsystemPresent() { return SelectedOutputPresent(); }

}  // namespace velmo
