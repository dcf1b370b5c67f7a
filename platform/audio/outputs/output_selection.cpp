#include "platform/audio/outputs/output_selection.h"

#include "platform/audio/outputs/output_diagnostics.h"

namespace velmo {

namespace {

// The default output: the native PipeWire output where PipeWire does the
// desktop's sound, otherwise SDL.
OutputKind Resolved(OutputKind kind) {
  if (kind != OutputKind::kDefault) return kind;
  return PipeWireIsTheSoundServer() ? OutputKind::kPipeWire : OutputKind::kSdl;
}

// Whether the output lists a device named `name`; when not, says so in one
// line that names the devices there are.  A name that matches nothing
// would otherwise leave a PipeWire stream waiting for a sink that never
// comes, in silence.
bool DeviceExists(OutputKind kind, const std::string& name) {
  const std::vector<AudioDevice> devices = kind == OutputKind::kPipeWire ? ListPipeWireSinks() : ListSdlDevices();
  std::string names;
  for (const AudioDevice& device : devices) {
    if (device.name == name) return true;
    names += (names.empty() ? "" : ", ") + PrintableText(device.name);
  }
  WriteDiagnostic("velmo: no sound device is named " + PrintableText(name) + "; " +
                  (names.empty() ? "none is found" : "the devices are: " + names));
  return false;
}

}  // namespace

std::unique_ptr<AudioOutput> CreateSelectedOutput(const OutputSettings& settings, std::string* name) {
  if (!settings.valid) return nullptr;
  const OutputKind kind = Resolved(settings.choice.kind);
  // Only the sdl and pipewire outputs have a latency to set and devices to
  // choose from; the null and capture outputs take neither.
  const std::string& device = settings.device;
  if (!device.empty() && (kind == OutputKind::kPipeWire || kind == OutputKind::kSdl) && !DeviceExists(kind, device))
    return nullptr;
  const auto rate = [&](std::uint32_t own) { return settings.rate != 0 ? settings.rate : own; };
  switch (kind) {
    case OutputKind::kDefault:
      return nullptr;  // resolved above
    case OutputKind::kPipeWire:
      if (name) *name = "pipewire";
      return CreatePipeWireOutput(rate(kPipeWireDefaultRate), settings.latencyMs, device);
    case OutputKind::kSdl:
      if (name) *name = "sdl";
      return CreateSdlOutput(rate(kSdlDefaultRate), settings.latencyMs, device);
    case OutputKind::kNull:
      if (name) *name = "null";
      return CreateNullOutput(rate(kNullDefaultRate));
    case OutputKind::kCapture:
      if (name) *name = "capture";
      return CreateCaptureOutput(settings.choice.capturePath, rate(kCaptureDefaultRate));
  }
  return nullptr;
}

bool SelectedOutputPresent(const OutputSettings& settings) {
  if (!settings.valid) return false;
  switch (settings.choice.kind) {
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

std::vector<AudioDevice> ListAudioDevices() {
  const OutputSettings settings = ReadOutputSettings();
  if (!settings.valid) return {};
  switch (Resolved(settings.choice.kind)) {
    case OutputKind::kPipeWire:
      return ListPipeWireSinks();
    case OutputKind::kSdl:
      return ListSdlDevices();
    default:
      return {};
  }
}

}  // namespace velmo
