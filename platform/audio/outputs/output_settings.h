// The settings the outputs start with, made in one place: what the program
// set (SetAudioSettings), with each variable the user set in its place
// (VELMO_AUDIO_OUTPUT, VELMO_AUDIO_DEVICE, VELMO_LATENCY_MS,
// VELMO_OUTPUT_RATE), read and checked once into one value that the outputs
// are created from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "velmo/platform/audio_settings.h"

namespace velmo {

// kDefault is resolved when the output is created: the native PipeWire
// output when a PipeWire server answers and does the desktop's sound, the
// native PulseAudio output when a PulseAudio server answers, otherwise SDL
// (which finds ALSA or JACK, or fails and leaves the program quiet).
enum class OutputKind { kDefault, kSdl, kPipeWire, kPulseAudio, kNull, kCapture };

struct OutputChoice {
  OutputKind kind = OutputKind::kDefault;
  std::string capturePath;  // for kCapture
};

// Parses a value of VELMO_AUDIO_OUTPUT: unset or empty (the default),
// "sdl", "pipewire", "pulseaudio", "null", or "capture:PATH" with a
// non-empty path.
// Returns false for anything else.
bool ParseOutputChoice(const char* value, OutputChoice* choice);

// Parses a value of VELMO_OUTPUT_RATE: unset or empty leaves `*rate` as it
// is (each output's own default); otherwise a whole number of hertz from
// 8000 to 192000.  Returns false for anything else.
bool ParseOutputRate(const char* value, std::uint32_t* rate);
constexpr std::uint32_t kMinOutputRate = 8000;
constexpr std::uint32_t kMaxOutputRate = 192000;

// Parses a value of VELMO_LATENCY_MS, the queue the sdl and pulseaudio
// outputs ask the sound server to keep, or the quantum the pipewire output
// asks the graph to run at (a power of two of frames, the nearest to it):
// unset or empty
// leaves `*ms` as it is (the output's default); otherwise a whole number of
// milliseconds from 5 to 500.
// Returns false for anything else.
bool ParseLatency(const char* value, std::uint32_t* ms);
constexpr std::uint32_t kMinLatencyMs = 5;
constexpr std::uint32_t kMaxLatencyMs = 500;

// Parses a value of VELMO_AUDIO_DEVICE, the name of the sound device to
// play on: unset or empty is the default device (an empty `*name`);
// otherwise up to kMaxDeviceNameLength bytes without control characters.
// Returns false for anything else.
bool ParseDeviceName(const char* value, std::string* name);
constexpr std::size_t kMaxDeviceNameLength = 255;

// One value the outputs are made from.  `rate` and `latencyMs` 0 leave
// them to the output; an empty `device` is the default device.
struct OutputSettings {
  bool valid = true;  // false when a variable's value is not accepted
  OutputChoice choice;
  std::uint32_t rate = 0;
  std::uint32_t latencyMs = 0;
  std::string device;
};

// Reads a variable of the environment; null when unset.
using EnvironmentLookup = std::function<const char*(const char* name)>;

// The program's settings with the environment's in their place, as the
// header of SetAudioSettings describes.  Every variable that takes part is
// checked, so that one start names all that are wrong: each bad value is
// named through ReportBadSetting and makes the result invalid.
OutputSettings ResolveOutputSettings(const AudioSettings& program, AudioSettingsPriority priority,
                                     const EnvironmentLookup& environment);

// The same with the settings the program last set and the process's own
// environment.  This is how every start, presence test and device list
// learns its settings.
OutputSettings ReadOutputSettings();

}  // namespace velmo
