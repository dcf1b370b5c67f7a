// The outputs the device can play through, and the choice among them that
// the environment variable VELMO_AUDIO_OUTPUT makes.  Only this file's
// implementation and the outputs themselves know SDL, PipeWire or the
// variable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/audio_output.h"
#include "velmo/platform/audio_devices.h"

namespace velmo {

// kDefault is the choice made here: the native PipeWire output when a
// PipeWire server answers and does the desktop's sound, otherwise SDL (which finds PulseAudio, ALSA or
// JACK, or fails and leaves the program quiet).
enum class OutputKind { kDefault, kSdl, kPipeWire, kNull, kCapture };

struct OutputChoice {
  OutputKind kind = OutputKind::kDefault;
  std::string capturePath;  // for kCapture
};

// Parses a value of VELMO_AUDIO_OUTPUT: unset or empty (the default),
// "sdl", "pipewire", "null", or "capture:PATH" with a non-empty path.
// Returns false for anything else.
bool ParseOutputChoice(const char* value, OutputChoice* choice);

// Parses a value of VELMO_OUTPUT_RATE: unset or empty leaves `*rate` as it
// is (each output's own default); otherwise a whole number of hertz from
// 8000 to 192000.  Returns false for anything else.
bool ParseOutputRate(const char* value, std::uint32_t* rate);
constexpr std::uint32_t kMinOutputRate = 8000;
constexpr std::uint32_t kMaxOutputRate = 192000;

// Parses a value of VELMO_LATENCY_MS, the queue the sdl output asks the
// sound server to keep, or the quantum the pipewire output asks the graph
// to run at (a power of two of frames, the nearest to it): unset or empty
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

// Whether all four variables hold values the parsers above take.  Each
// one that does not is named on standard error in one line with its value
// and what it takes (once a process), beside whatever the caller shows.
bool OutputSettingsMakeSense();

// The output the environment names, at the rate VELMO_OUTPUT_RATE asks for
// (and for sdl and pipewire, with the latency VELMO_LATENCY_MS asks for), not yet
// opened; null when any of the variables' values is not one of the above.
std::unique_ptr<AudioOutput> CreateSelectedOutput();

// Whether the output the environment names can be brought up at all: for
// SDL, whether its audio subsystem starts (a driver exists), which says
// nothing about whether a device will open; for pipewire, whether a server
// answers; for the default, either; the null and capture outputs need
// nothing.  A value that names no output has nothing to bring up.
bool SelectedOutputPresent();

// The concrete outputs, and the rates they run at unless told otherwise.
constexpr std::uint32_t kSdlDefaultRate = 48000;      // what is asked of SDL
constexpr std::uint32_t kPipeWireDefaultRate = 48000; // PipeWire's usual graph rate
constexpr std::uint32_t kNullDefaultRate = 48000;     // a sound card's usual rate
constexpr std::uint32_t kCaptureDefaultRate = 44100;  // the demo sounds' own rate
// `latencyMs` 0 is the sdl output's own default (SdlOutput::kDefaultLatencyMs).
// `device` (both): the device VELMO_AUDIO_DEVICE names; empty for the default.
std::unique_ptr<AudioOutput> CreateSdlOutput(std::uint32_t rate = kSdlDefaultRate, std::uint32_t latencyMs = 0,
                                             const std::string& device = {});
// `latencyMs` 0 is the pipewire output's own default (PipeWireOutput::kDefaultLatencyMs).
std::unique_ptr<AudioOutput> CreatePipeWireOutput(std::uint32_t rate = kPipeWireDefaultRate, std::uint32_t latencyMs = 0,
                                                  const std::string& device = {});
std::unique_ptr<AudioOutput> CreateNullOutput(std::uint32_t rate = kNullDefaultRate, std::uint32_t periodFrames = 512);
std::unique_ptr<AudioOutput> CreateCaptureOutput(const std::string& path, std::uint32_t rate = kCaptureDefaultRate);

// Whether SDL's audio subsystem can start here (sdl_output.cpp).  Asked of
// SDL once per process; the answer does not change while it runs.
bool SdlAudioPresent();

// The devices each output can play on (sdl_output.cpp, pipewire_output.cpp).
std::vector<AudioDevice> ListSdlDevices();
std::vector<AudioDevice> ListPipeWireSinks();

// Whether libpipewire loads and a PipeWire server's socket takes a
// connection here (pipewire_output.cpp).  Asked anew at each call.
bool PipeWireServerAnswers();
// Why it does not, in a few words, for VELMO_DEBUG=1.
std::string WhyPipeWireDoesNotAnswer();
// Whether that server also does the desktop's sound: it answers, and the
// PulseAudio server of the runtime folder, if any, is not PulseAudio itself
// (a desktop may run PipeWire for video only, beside PulseAudio).
bool PipeWireIsTheSoundServer();

}  // namespace velmo
