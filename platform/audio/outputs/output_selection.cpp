#include "platform/audio/outputs/output_selection.h"

#include <cstdlib>
#include <cstring>

namespace velmo {

bool ParseOutputChoice(const char* value, OutputChoice* choice) {
  static constexpr char kCapturePrefix[] = "capture:";
  constexpr std::size_t kPrefixLength = sizeof kCapturePrefix - 1;
  if (value == nullptr || *value == '\0') {
    *choice = {OutputKind::kDefault, {}};
    return true;
  }
  if (std::strcmp(value, "sdl") == 0) {
    *choice = {OutputKind::kSdl, {}};
    return true;
  }
  if (std::strcmp(value, "pipewire") == 0) {
    *choice = {OutputKind::kPipeWire, {}};
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

namespace {

// A whole decimal number from `low` to `high`, digits only; unset or empty
// leaves `*out` as it is.
bool ParseWholeNumber(const char* value, std::uint32_t low, std::uint32_t high, std::uint32_t* out) {
  if (value == nullptr || *value == '\0') return true;
  std::uint32_t n = 0;
  for (const char* p = value; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || n > high) return false;
    n = n * 10 + static_cast<std::uint32_t>(*p - '0');
  }
  if (n < low || n > high) return false;
  *out = n;
  return true;
}

}  // namespace

bool ParseOutputRate(const char* value, std::uint32_t* rate) {
  return ParseWholeNumber(value, kMinOutputRate, kMaxOutputRate, rate);
}

bool ParseLatency(const char* value, std::uint32_t* ms) {
  return ParseWholeNumber(value, kMinLatencyMs, kMaxLatencyMs, ms);
}

std::unique_ptr<AudioOutput> CreateSelectedOutput() {
  OutputChoice choice;
  if (!ParseOutputChoice(std::getenv("VELMO_AUDIO_OUTPUT"), &choice)) return nullptr;
  const char* rate = std::getenv("VELMO_OUTPUT_RATE");
  std::uint32_t hz = 0;
  // Only the sdl and pipewire outputs have a latency to set, but a bad
  // value is refused whichever output is chosen, as a bad rate is.
  std::uint32_t latencyMs = 0;
  if (!ParseLatency(std::getenv("VELMO_LATENCY_MS"), &latencyMs)) return nullptr;
  if (choice.kind == OutputKind::kDefault) choice.kind = PipeWireIsTheSoundServer() ? OutputKind::kPipeWire : OutputKind::kSdl;
  switch (choice.kind) {
    case OutputKind::kDefault:
      return nullptr;  // resolved above
    case OutputKind::kPipeWire:
      hz = kPipeWireDefaultRate;
      return ParseOutputRate(rate, &hz) ? CreatePipeWireOutput(hz, latencyMs) : nullptr;
    case OutputKind::kSdl:
      hz = kSdlDefaultRate;
      return ParseOutputRate(rate, &hz) ? CreateSdlOutput(hz, latencyMs) : nullptr;
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
  std::uint32_t rate = 0, latencyMs = 0;
  if (!ParseOutputRate(std::getenv("VELMO_OUTPUT_RATE"), &rate)) return false;
  if (!ParseLatency(std::getenv("VELMO_LATENCY_MS"), &latencyMs)) return false;
  switch (choice.kind) {
    case OutputKind::kDefault:
      return PipeWireIsTheSoundServer() || SdlAudioPresent();
    case OutputKind::kSdl:
      return SdlAudioPresent();
    case OutputKind::kPipeWire:
      return PipeWireServerAnswers();
    case OutputKind::kNull:
    case OutputKind::kCapture:
      return true;
  }
  return false;
}

}  // namespace velmo
