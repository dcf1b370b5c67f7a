// The outputs the device can play through, and the choice among them that
// the settings make (output_settings.h).  Only this file's implementation
// and the outputs themselves know SDL or PipeWire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/audio_output.h"
#include "platform/audio/outputs/output_settings.h"
#include "velmo/platform/audio_devices.h"

namespace velmo {

// The output `settings` name, at their rate (and for sdl and pipewire,
// with their latency and device), not yet opened; null when they are not
// valid, or name a device the output does not list (said in one line).
// `name`, when given, receives the output's name as GetAudioOutputState
// gives it: the default resolved to pipewire or sdl.
std::unique_ptr<AudioOutput> CreateSelectedOutput(const OutputSettings& settings, std::string* name = nullptr);

// Whether the output `settings` name can be brought up at all: for SDL,
// whether its audio subsystem starts (a driver exists), which says nothing
// about whether a device will open; for pipewire, whether a server
// answers; for the default, either; the null and capture outputs need
// nothing.  Settings that are not valid have nothing to bring up.
bool SelectedOutputPresent(const OutputSettings& settings);

// The concrete outputs, and the rates they run at unless told otherwise.
constexpr std::uint32_t kSdlDefaultRate = 48000;      // what is asked of SDL
constexpr std::uint32_t kPipeWireDefaultRate = 48000; // PipeWire's usual graph rate
constexpr std::uint32_t kPulseDefaultRate = 48000;    // PulseAudio's usual sink rate
constexpr std::uint32_t kNullDefaultRate = 48000;     // a sound card's usual rate
constexpr std::uint32_t kCaptureDefaultRate = 44100;  // the demo sounds' own rate
// `latencyMs` 0 is the sdl output's own default (SdlOutput::kDefaultLatencyMs).
// `device` (both): the device the settings name; empty for the default.
std::unique_ptr<AudioOutput> CreateSdlOutput(std::uint32_t rate = kSdlDefaultRate, std::uint32_t latencyMs = 0,
                                             const std::string& device = {});
// `latencyMs` 0 is the pulseaudio output's own default (PulseOutput::kDefaultLatencyMs).
std::unique_ptr<AudioOutput> CreatePulseOutput(std::uint32_t rate = kPulseDefaultRate, std::uint32_t latencyMs = 0,
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
std::vector<AudioDevice> ListPulseSinks();  // pulse_output.cpp

// Whether libpulse loads and a PulseAudio server (or PipeWire's
// pipewire-pulse) answers here (pulse_output.cpp).  Asked anew at each call.
bool PulseServerAnswers();
// Why it does not, in a few words, for VELMO_DEBUG=1.
std::string WhyPulseDoesNotAnswer();

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
