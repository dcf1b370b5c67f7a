#include "platform/audio/outputs/output_selection.h"

#include "platform/audio/outputs/output_diagnostics.h"

namespace velmo {

namespace {

// The default output: the native PipeWire output where PipeWire does the
// desktop's sound, the native PulseAudio output where a PulseAudio server
// answers, otherwise SDL (ALSA, JACK, sndio).
OutputKind Resolved(OutputKind kind) {
  if (kind != OutputKind::kDefault) return kind;
  if (PipeWireIsTheSoundServer()) return OutputKind::kPipeWire;
  return PulseServerAnswers() ? OutputKind::kPulseAudio : OutputKind::kSdl;
}

std::vector<AudioDevice> DevicesOf(OutputKind kind) {
  switch (kind) {
    case OutputKind::kPipeWire: return ListPipeWireSinks();
    case OutputKind::kPulseAudio: return ListPulseSinks();
    case OutputKind::kSdl: return ListSdlDevices();
    default: return {};
  }
}

// Whether the output lists a device named `name`; when not, says so in one
// line that names the devices there are.  A name that matches nothing
// would otherwise leave a PipeWire stream waiting for a sink that never
// comes, in silence.
bool DeviceExists(OutputKind kind, const std::string& name) {
  const std::vector<AudioDevice> devices = DevicesOf(kind);
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
  // Only the sdl, pipewire and pulseaudio outputs have a latency to set and
  // devices to choose from; the null and capture outputs take neither.
  const std::string& device = settings.device;
  const bool hasDevices = kind == OutputKind::kPipeWire || kind == OutputKind::kPulseAudio || kind == OutputKind::kSdl;
  if (!device.empty() && hasDevices && !DeviceExists(kind, device)) return nullptr;
  const auto rate = [&](std::uint32_t own) { return settings.rate != 0 ? settings.rate : own; };
  switch (kind) {
    case OutputKind::kDefault:
      return nullptr;  // resolved above
    case OutputKind::kPipeWire:
      if (name) *name = "pipewire";
      return CreatePipeWireOutput(rate(kPipeWireDefaultRate), settings.latencyMs, device);
    case OutputKind::kPulseAudio:
      if (name) *name = "pulseaudio";
      return CreatePulseOutput(rate(kPulseDefaultRate), settings.latencyMs, device);
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
      return PipeWireIsTheSoundServer() || PulseServerAnswers() || SdlAudioPresent();
    case OutputKind::kSdl:
      return SdlAudioPresent();
    case OutputKind::kPipeWire:
      if (PipeWireServerAnswers()) return true;
      if (OutputDebugWanted()) ReportOutputFailure("pipewire", WhyPipeWireDoesNotAnswer());
      return false;
    case OutputKind::kPulseAudio:
      if (PulseServerAnswers()) return true;
      if (OutputDebugWanted()) ReportOutputFailure("pulseaudio", WhyPulseDoesNotAnswer());
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
  return DevicesOf(Resolved(settings.choice.kind));
}

}  // namespace velmo
