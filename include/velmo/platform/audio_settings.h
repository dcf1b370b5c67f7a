// Where a program sends the library's sound, chosen in code: the output,
// the device on it, the latency and the rate.  Settings are made before
// InitDSound starts the device, and each start takes the settings made by
// then.
//
// The environment keeps the last word.  Each of VELMO_AUDIO_OUTPUT,
// VELMO_AUDIO_DEVICE, VELMO_LATENCY_MS and VELMO_OUTPUT_RATE that the user
// has set, to anything but the empty string, wins over what the program set
// for it, as the variables behind SDL's hints win over a program's
// SDL_SetHint: a user can send any program's sound into a file or onto
// another device without the program's help.  A program whose settings are
// its user's own words (a command-line option) may ask for
// AudioSettingsPriority::kOverEnvironment instead, as SDL_HINT_OVERRIDE
// does; then each field it sets wins, and a variable still decides every
// field left at its default.
//
// The library never writes the environment: settings go from here to the
// outputs as values.
#pragma once

#include <cstdint>
#include <string>

namespace velmo {

enum class AudioOutputChoice {
  kDefault,     // pipewire when a PipeWire server does the desktop's sound, pulseaudio when
                // a PulseAudio server answers, otherwise sdl
  kPipeWire,    // the PipeWire server's graph, through libpipewire
  kSdl,         // SDL's audio (PulseAudio, ALSA, JACK, ...)
  kNull,        // plays in real time into nothing
  kCapture,     // writes the sound into a WAVE file, capturePath
  kPulseAudio,  // the PulseAudio server, through libpulse (appended: the values above keep theirs)
};

struct AudioSettings {
  AudioOutputChoice output = AudioOutputChoice::kDefault;
  std::string capturePath;      // with kCapture, the file to write; otherwise empty
  std::string device;           // a name as ListAudioDevices gives it; empty for the default device
  std::uint32_t latencyMs = 0;  // 5 to 500; 0 for the output's own
  std::uint32_t rate = 0;       // 8000 to 192000 Hz; 0 for the output's own
};

enum class AudioSettingsPriority {
  kBelowEnvironment,  // a variable the user set wins (the rule above)
  kOverEnvironment,   // each field set here wins over its variable
};

// Takes `settings` for the next InitDSound, in place of any made before.
// Returns an empty string when they are taken.  Otherwise nothing changes,
// and the result is one line for the program to show, naming the first
// field refused, its value and what it takes, as the library's line for a
// bad variable does: "latencyMs=3 is not accepted; it takes a whole number
// of milliseconds from 5 to 500, or 0 for the output's own".  A device name
// is refused when longer than 255 bytes or holding control characters, a
// capture without a path, and a path without a capture.  May be called from
// any thread.
std::string SetAudioSettings(const AudioSettings& settings,
                             AudioSettingsPriority priority = AudioSettingsPriority::kBelowEnvironment);

// The settings the next InitDSound would start with: the program's, with
// every variable the user set in its place (capture as kCapture and its
// path, a rate or latency left to the output as 0).  Returns false when a
// variable's value is not accepted; each such value is named in one line
// through the diagnostics sink (velmo/platform/diagnostics.h), once a
// process, and the device would not start.
bool EffectiveAudioSettings(AudioSettings* settings);

}  // namespace velmo
