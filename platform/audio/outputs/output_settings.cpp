#include "platform/audio/outputs/output_settings.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/audio/outputs/output_diagnostics.h"

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
  if (std::strcmp(value, "pulseaudio") == 0) {
    *choice = {OutputKind::kPulseAudio, {}};
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

bool ParseDeviceName(const char* value, std::string* name) {
  if (value == nullptr || *value == '\0') {
    name->clear();
    return true;
  }
  if (std::strlen(value) > kMaxDeviceNameLength) return false;
  for (const char* p = value; *p != '\0'; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte < 0x20 || byte == 0x7f) return false;
  }
  *name = value;
  return true;
}

namespace {

// What each setting takes, in the words of both the line about a bad
// variable and the reason SetAudioSettings gives; `unset` is how the one
// or the other says "leave it to the library".
std::string OutputAccepts() { return "sdl, pipewire, pulseaudio, null or capture:PATH, or nothing for the default"; }
std::string RateAccepts(const char* unset) {
  return std::string("a whole number of hertz from 8000 to 192000, or ") + unset + " for the output's own rate";
}
std::string LatencyAccepts(const char* unset) {
  return std::string("a whole number of milliseconds from 5 to 500, or ") + unset + " for the output's own";
}
std::string DeviceAccepts(const char* listedBy) {
  return std::string("a device name as ") + listedBy +
         " (up to 255 bytes, no control characters), or nothing for the default device";
}

bool Set(const char* value) { return value != nullptr && *value != '\0'; }

OutputChoice ChoiceOf(const AudioSettings& settings) {
  switch (settings.output) {
    case AudioOutputChoice::kDefault: return {OutputKind::kDefault, {}};
    case AudioOutputChoice::kPipeWire: return {OutputKind::kPipeWire, {}};
    case AudioOutputChoice::kPulseAudio: return {OutputKind::kPulseAudio, {}};
    case AudioOutputChoice::kSdl: return {OutputKind::kSdl, {}};
    case AudioOutputChoice::kNull: return {OutputKind::kNull, {}};
    case AudioOutputChoice::kCapture: return {OutputKind::kCapture, settings.capturePath};
  }
  return {};
}

// The program's settings, as SetAudioSettings last took them.
struct ProgramSettings {
  std::mutex mutex;
  AudioSettings settings;
  AudioSettingsPriority priority = AudioSettingsPriority::kBelowEnvironment;
};
ProgramSettings& TheProgramSettings() {
  static auto* settings = new ProgramSettings;  // never destroyed, as the device may start late
  return *settings;
}

}  // namespace

OutputSettings ResolveOutputSettings(const AudioSettings& program, AudioSettingsPriority priority,
                                     const EnvironmentLookup& environment) {
  const bool programFirst = priority == AudioSettingsPriority::kOverEnvironment;
  OutputSettings result;
  result.choice = ChoiceOf(program);
  result.rate = program.rate;
  result.latencyMs = program.latencyMs;
  result.device = program.device;

  const char* value = environment("VELMO_AUDIO_OUTPUT");
  if (Set(value) && !(programFirst && program.output != AudioOutputChoice::kDefault) &&
      !ParseOutputChoice(value, &result.choice)) {
    ReportBadSetting("VELMO_AUDIO_OUTPUT", value, OutputAccepts().c_str());
    result.valid = false;
  }
  value = environment("VELMO_OUTPUT_RATE");
  if (Set(value) && !(programFirst && program.rate != 0) && !ParseOutputRate(value, &result.rate)) {
    ReportBadSetting("VELMO_OUTPUT_RATE", value, RateAccepts("nothing").c_str());
    result.valid = false;
  }
  value = environment("VELMO_LATENCY_MS");
  if (Set(value) && !(programFirst && program.latencyMs != 0) && !ParseLatency(value, &result.latencyMs)) {
    ReportBadSetting("VELMO_LATENCY_MS", value, LatencyAccepts("nothing").c_str());
    result.valid = false;
  }
  value = environment("VELMO_AUDIO_DEVICE");
  if (Set(value) && !(programFirst && !program.device.empty()) && !ParseDeviceName(value, &result.device)) {
    ReportBadSetting("VELMO_AUDIO_DEVICE", value, DeviceAccepts("--list-devices prints it").c_str());
    result.valid = false;
  }
  return result;
}

OutputSettings ReadOutputSettings() {
  ProgramSettings& stored = TheProgramSettings();
  AudioSettings program;
  AudioSettingsPriority priority;
  {
    std::lock_guard<std::mutex> guard(stored.mutex);
    program = stored.settings;
    priority = stored.priority;
  }
  return ResolveOutputSettings(program, priority, [](const char* name) { return std::getenv(name); });
}

std::string SetAudioSettings(const AudioSettings& settings, AudioSettingsPriority priority) {
  const auto refused = [](const char* field, const std::string& value, const std::string& accepts) {
    return std::string(field) + "=" + PrintableText(value) + " is not accepted; it takes " + accepts;
  };
  switch (settings.output) {
    case AudioOutputChoice::kDefault:
    case AudioOutputChoice::kPipeWire:
    case AudioOutputChoice::kPulseAudio:
    case AudioOutputChoice::kSdl:
    case AudioOutputChoice::kNull:
      if (!settings.capturePath.empty())
        return refused("capturePath", settings.capturePath, "nothing unless the output is capture");
      break;
    case AudioOutputChoice::kCapture:
      if (settings.capturePath.empty())
        return refused("capturePath", "", "the path of the WAVE file to write, with the capture output");
      break;
    default:
      return refused("output", std::to_string(static_cast<int>(settings.output)),
                     "kDefault, kPipeWire, kSdl, kNull, kCapture or kPulseAudio");
  }
  if (settings.rate != 0 && (settings.rate < kMinOutputRate || settings.rate > kMaxOutputRate))
    return refused("rate", std::to_string(settings.rate), RateAccepts("0"));
  if (settings.latencyMs != 0 && (settings.latencyMs < kMinLatencyMs || settings.latencyMs > kMaxLatencyMs))
    return refused("latencyMs", std::to_string(settings.latencyMs), LatencyAccepts("0"));
  std::string device;
  if (settings.device.find('\0') != std::string::npos || !ParseDeviceName(settings.device.c_str(), &device))
    return refused("device", settings.device, DeviceAccepts("ListAudioDevices gives it"));
  if (priority != AudioSettingsPriority::kBelowEnvironment && priority != AudioSettingsPriority::kOverEnvironment)
    return refused("priority", std::to_string(static_cast<int>(priority)), "kBelowEnvironment or kOverEnvironment");

  ProgramSettings& stored = TheProgramSettings();
  std::lock_guard<std::mutex> guard(stored.mutex);
  stored.settings = settings;
  stored.priority = priority;
  return {};
}

bool EffectiveAudioSettings(AudioSettings* settings) {
  const OutputSettings resolved = ReadOutputSettings();
  if (settings != nullptr) {
    AudioSettings out;
    switch (resolved.choice.kind) {
      case OutputKind::kDefault: out.output = AudioOutputChoice::kDefault; break;
      case OutputKind::kPipeWire: out.output = AudioOutputChoice::kPipeWire; break;
      case OutputKind::kPulseAudio: out.output = AudioOutputChoice::kPulseAudio; break;
      case OutputKind::kSdl: out.output = AudioOutputChoice::kSdl; break;
      case OutputKind::kNull: out.output = AudioOutputChoice::kNull; break;
      case OutputKind::kCapture: out.output = AudioOutputChoice::kCapture; break;
    }
    out.capturePath = resolved.choice.capturePath;
    out.device = resolved.device;
    out.latencyMs = resolved.latencyMs;
    out.rate = resolved.rate;
    *settings = out;
  }
  return resolved.valid;
}

}  // namespace velmo
