#include "platform/audio/outputs/output_selection.h"

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

bool ParseOutputRate(const char* value, std::uint32_t* rate) {
  if (value == nullptr || *value == '\0') return true;
  std::uint32_t hz = 0;
  for (const char* p = value; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || hz > kMaxOutputRate) return false;
    hz = hz * 10 + static_cast<std::uint32_t>(*p - '0');
  }
  if (hz < kMinOutputRate || hz > kMaxOutputRate) return false;
  *rate = hz;
  return true;
}

std::unique_ptr<AudioOutput> CreateSelectedOutput() {
  OutputChoice choice;
  if (!ParseOutputChoice(std::getenv("VELMO_AUDIO_OUTPUT"), &choice)) return nullptr;
  const char* rate = std::getenv("VELMO_OUTPUT_RATE");
  std::uint32_t hz = 0;
  switch (choice.kind) {
    case OutputKind::kSdl:
      hz = kSdlDefaultRate;
      return ParseOutputRate(rate, &hz) ? CreateSdlOutput(hz) : nullptr;
    case OutputKind::kNull:
      hz = kNullDefaultRate;
      return ParseOutputRate(rate, &hz) ? CreateNullOutput(hz) : nullptr;
    case OutputKind::kCapture:
      hz = kCaptureDefaultRate;
      return ParseOutputRate(rate, &hz) ? CreateCaptureOutput(choice.capturePath, hz) : nullptr;
  }
  return nullptr;
}

bool SelectedOutputPresent() {
  OutputChoice choice;
  if (!ParseOutputChoice(std::getenv("VELMO_AUDIO_OUTPUT"), &choice)) return false;
  std::uint32_t rate = 0;
  if (!ParseOutputRate(std::getenv("VELMO_OUTPUT_RATE"), &rate)) return false;
  return choice.kind != OutputKind::kSdl || SdlAudioPresent();
}

}  // namespace velmo
