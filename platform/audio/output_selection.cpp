#include "platform/audio/output_selection.h"

#include <cstdlib>
#include <cstring>

namespace velmo {

bool ParseOutputChoice(const char* value, OutputChoice* choice) {
  static constexpr char kCapturePrefix[] = "capture:";
  constexpr std::size_t kPrefixLength = sizeof kCapturePrefix - 1;
  if (value == nullptr || *value == '\0' || std::strcmp(value, "sdl") == 0) {
    *choice = {OutputKind::kSdl, {}};
    return true;
  }
  if (std::strcmp(value, "null") == 0) {
    *choice = {OutputKind::kNull, {}};
    return true;
  }
  if (std::strncmp(value, kCapturePrefix, kPrefixLength) == 0 && value[kPrefixLength] != '\0') {
    *choice = {OutputKind::kCapture, value + kPrefixLength};
    return true;
  }
  return false;
}

std::unique_ptr<AudioOutput> CreateSelectedOutput() {
  OutputChoice choice;
  if (!ParseOutputChoice(std::getenv("VELMO_AUDIO_OUTPUT"), &choice)) return nullptr;
  switch (choice.kind) {
    case OutputKind::kSdl: return CreateSdlOutput();
    case OutputKind::kNull: return CreateNullOutput();
    case OutputKind::kCapture: return CreateCaptureOutput(choice.capturePath);
  }
  return nullptr;
}

bool SelectedOutputPresent() {
  OutputChoice choice;
  if (!ParseOutputChoice(std::getenv("VELMO_AUDIO_OUTPUT"), &choice)) return false;
  return choice.kind != OutputKind::kSdl || SdlAudioPresent();
}

}  // namespace velmo
