#include "platform/audio/outputs/output_selection.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// Every variable is looked at, so that one start names all that are wrong.
bool OutputSettingsMakeSense() {
  bool good = true;
  const char* value = std::getenv("VELMO_AUDIO_OUTPUT");
  OutputChoice choice;
  if (!ParseOutputChoice(value, &choice)) {
    ReportBadSetting("VELMO_AUDIO_OUTPUT", value, "sdl, pipewire, null or capture:PATH, or nothing for the default");
    good = false;
  }
  std::uint32_t number = 0;
  value = std::getenv("VELMO_OUTPUT_RATE");
  if (!ParseOutputRate(value, &number)) {
    ReportBadSetting("VELMO_OUTPUT_RATE", value,
                     "a whole number of hertz from 8000 to 192000, or nothing for the output's own rate");
    good = false;
  }
  value = std::getenv("VELMO_LATENCY_MS");
  if (!ParseLatency(value, &number)) {
    ReportBadSetting("VELMO_LATENCY_MS", value,
                     "a whole number of milliseconds from 5 to 500, or nothing for the output's own");
    good = false;
  }
  std::string name;
  value = std::getenv("VELMO_AUDIO_DEVICE");
  if (!ParseDeviceName(value, &name)) {
    ReportBadSetting("VELMO_AUDIO_DEVICE", value,
                     "a device name as --list-devices prints it (up to 255 bytes, no control characters), "
                     "or nothing for the default device");
    good = false;
  }
  return good;
}

namespace {

// Whether the output lists a device named `name`; when not, says so in one
// line that names the devices there are.  A name that matches nothing
// would otherwise leave a PipeWire stream waiting for a sink that never
// comes, in silence.
bool DeviceExists(OutputKind kind, const std::string& name) {
  const std::vector<AudioDevice> devices = kind == OutputKind::kPipeWire ? ListPipeWireSinks() : ListSdlDevices();
  std::string names;
  for (const AudioDevice& device : devices) {
    if (device.name == name) return true;
    names += (names.empty() ? "" : ", ") + device.name;
  }
  std::fprintf(stderr, "velmo: no sound device is named %s; %s\n", PrintableText(name).c_str(),
               names.empty() ? "none is found" : ("the devices are: " + names).c_str());
  return false;
}

}  // namespace

std::unique_ptr<AudioOutput> CreateSelectedOutput() {
  if (!OutputSettingsMakeSense()) return nullptr;
  OutputChoice choice;
  if (!ParseOutputChoice(std::getenv("VELMO_AUDIO_OUTPUT"), &choice)) return nullptr;
  const char* rate = std::getenv("VELMO_OUTPUT_RATE");
  std::uint32_t hz = 0;
  // Only the sdl and pipewire outputs have a latency to set, but a bad
  // value is refused whichever output is chosen, as a bad rate is.
  std::uint32_t latencyMs = 0;
  if (!ParseLatency(std::getenv("VELMO_LATENCY_MS"), &latencyMs)) return nullptr;
  if (choice.kind == OutputKind::kDefault) choice.kind = PipeWireIsTheSoundServer() ? OutputKind::kPipeWire : OutputKind::kSdl;
  std::string device;
  ParseDeviceName(std::getenv("VELMO_AUDIO_DEVICE"), &device);
  if (!device.empty() && (choice.kind == OutputKind::kPipeWire || choice.kind == OutputKind::kSdl) &&
      !DeviceExists(choice.kind, device))
    return nullptr;
  switch (choice.kind) {
    case OutputKind::kDefault:
      return nullptr;  // resolved above
    case OutputKind::kPipeWire:
      hz = kPipeWireDefaultRate;
      return ParseOutputRate(rate, &hz) ? CreatePipeWireOutput(hz, latencyMs, device) : nullptr;
    case OutputKind::kSdl:
      hz = kSdlDefaultRate;
      return ParseOutputRate(rate, &hz) ? CreateSdlOutput(hz, latencyMs, device) : nullptr;
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
  if (!OutputSettingsMakeSense()) return false;
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
      if (PipeWireServerAnswers()) return true;
      if (OutputDebugWanted()) ReportOutputFailure("pipewire", WhyPipeWireDoesNotAnswer());
      return false;
    case OutputKind::kNull:
    case OutputKind::kCapture:
      return true;
  }
  return false;
}

}  // namespace velmo

namespace velmo {

std::vector<AudioDevice> ListAudioDevices() {
  if (!OutputSettingsMakeSense()) return {};
  OutputChoice choice;
  ParseOutputChoice(std::getenv("VELMO_AUDIO_OUTPUT"), &choice);
  if (choice.kind == OutputKind::kDefault) choice.kind = PipeWireIsTheSoundServer() ? OutputKind::kPipeWire : OutputKind::kSdl;
  switch (choice.kind) {
    case OutputKind::kPipeWire:
      return ListPipeWireSinks();
    case OutputKind::kSdl:
      return ListSdlDevices();
    default:
      return {};
  }
}

}  // namespace velmo
