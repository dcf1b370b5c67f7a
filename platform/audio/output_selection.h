// The outputs the device can play through, and the choice among them that
// the environment variable VELMO_AUDIO_OUTPUT makes.  Only this file's
// implementation and the SDL output itself know SDL or the variable.
#pragma once

#include <memory>
#include <string>

#include "platform/audio/audio_output.h"

namespace velmo {

enum class OutputKind { kSdl, kNull, kCapture };

struct OutputChoice {
  OutputKind kind = OutputKind::kSdl;
  std::string capturePath;  // for kCapture
};

// Parses a value of VELMO_AUDIO_OUTPUT: "sdl" (also an unset or empty
// variable), "null", or "capture:PATH" with a non-empty path.  Returns false
// for anything else.
bool ParseOutputChoice(const char* value, OutputChoice* choice);

// The output the environment names, not yet opened, or null when the
// variable's value is not one of the above.
std::unique_ptr<AudioOutput> CreateSelectedOutput();

// Whether the output the environment names can be brought up at all: for
// SDL, whether its audio subsystem starts (a driver exists), which says
// nothing about whether a device will open; the null and capture outputs
// need nothing.  A value that names no output has nothing to bring up.
bool SelectedOutputPresent();

// The concrete outputs.
std::unique_ptr<AudioOutput> CreateSdlOutput();
std::unique_ptr<AudioOutput> CreateNullOutput();
std::unique_ptr<AudioOutput> CreateCaptureOutput(const std::string& path);

// Whether SDL's audio subsystem can start here (sdl_output.cpp).  Asked of
// SDL once per process; the answer does not change while it runs.
bool SdlAudioPresent();

}  // namespace velmo
