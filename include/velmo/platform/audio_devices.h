// What a program on the library can ask about the sound devices.  The
// output and the device are chosen before the device starts, by
// SetAudioSettings (velmo/platform/audio_settings.h) or by the environment,
// which wins: VELMO_AUDIO_OUTPUT (sdl, pipewire, pulseaudio, null or capture:PATH), and
// VELMO_AUDIO_DEVICE, the sound device to play on.
#pragma once

#include <string>
#include <vector>

namespace velmo {

// A sound device an output can play on.
struct AudioDevice {
  std::string name;         // what AudioSettings::device and VELMO_AUDIO_DEVICE take to choose it
  std::string description;  // for people
  bool isDefault = false;   // where sound goes when none is chosen
};

// The devices of the output the settings name (the default output when
// neither the program nor VELMO_AUDIO_OUTPUT names one): PipeWire's sinks
// (their node names) for pipewire, PulseAudio's sinks (their names) for
// pulseaudio, the names SDL gives its playback devices
// for sdl.  Empty for the null and capture outputs, when no sound server
// answers, and when a setting makes no sense (which is named through the
// diagnostics sink, as at start-up).  Asks the
// server anew at each call, which takes a round trip or two.
std::vector<AudioDevice> ListAudioDevices();

// The devices as the library's programs print them for --list-devices: one
// line a device, its name, a tab, its description and " (default)" on the
// default; or with `json`, one object a line,
// {"name":"...","description":"...","default":true|false}.
std::string AudioDeviceListText(const std::vector<AudioDevice>& devices, bool json);

// Whether a capture file (the capture output) that this
// process finished writing missed sound: a write failed or the disk filled.
// The file stays a valid WAVE file holding what was written before; one
// line on standard error said so when it was closed.
bool CaptureWasCutShort();

}  // namespace velmo
