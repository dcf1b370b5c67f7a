#include "platform/testing/manual_output.h"

#include "platform/audio/device/software_device.h"
#include "platform/audio/outputs/pcm16.h"

namespace velmo {

ManualOutput::ManualOutput(std::uint32_t sampleRate, std::uint32_t periodFrames)
    : sampleRate_(sampleRate), periodFrames_(periodFrames) {}

bool ManualOutput::Open(MixSource& source, OutputEvents& events) {
  source_ = &source;
  events_ = &events;
  return true;
}

void ManualOutput::Close() {
  source_ = nullptr;
  events_ = nullptr;
}

std::vector<float> ManualOutput::RenderFloat(std::size_t frames) {
  if (source_ == nullptr) return {};
  std::vector<float> mix(2 * frames);
  source_->Render(mix.data(), frames);
  return mix;
}

void ManualOutput::RenderInto(float* stereo, std::size_t frames) {
  if (source_ != nullptr) source_->Render(stereo, frames);
}

std::vector<std::int16_t> ManualOutput::Render(std::size_t frames) {
  const std::vector<float> mix = RenderFloat(frames);
  std::vector<std::int16_t> pcm(mix.size());
  for (std::size_t i = 0; i < mix.size(); ++i) pcm[i] = ToPcm16(mix[i]);
  return pcm;
}

void ManualOutput::SimulateRemoval() {
  if (events_ != nullptr) events_->OnOutputLost();
}

void ManualOutput::SimulateReopen() {
  if (events_ != nullptr) events_->OnOutputRestored();
}

IDirectSound* CreateManualAudioDevice(ManualOutput** output, std::uint32_t sampleRate, std::uint32_t periodFrames) {
  auto manual = std::make_unique<ManualOutput>(sampleRate, periodFrames);
  ManualOutput* raw = manual.get();
  IDirectSound* device = CreateAudioDeviceWithOutput(std::move(manual));
  if (output != nullptr) *output = device != nullptr ? raw : nullptr;
  return device;
}

}  // namespace velmo
