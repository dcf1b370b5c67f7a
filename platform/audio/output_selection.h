// The choice of output from the environment variable VELMO_AUDIO_OUTPUT.
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

}  // namespace velmo
