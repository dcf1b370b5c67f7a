#include "platform/testing/manual_output.h"

#include <algorithm>

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

// The keeper mixes through the owner's Render calls: opening it only tells
// the owner where to mix while it is away.
class ManualOutput::Keeper final : public AudioOutput {
 public:
  explicit Keeper(ManualOutput& owner) : owner_(owner) {}
  ~Keeper() override { Close(); }
  std::uint32_t SampleRate() const override { return owner_.sampleRate_; }
  std::uint32_t PeriodFrames() const override { return owner_.periodFrames_; }
  bool Open(MixSource& source, OutputEvents&) override {
    owner_.keeperSource_ = &source;
    return true;
  }
  void Close() override { owner_.keeperSource_ = nullptr; }

 private:
  ManualOutput& owner_;
};

std::unique_ptr<AudioOutput> ManualOutput::ClockKeeper() { return std::make_unique<Keeper>(*this); }

std::vector<float> ManualOutput::RenderFloat(std::size_t frames) {
  if (source_ == nullptr) return {};
  std::vector<float> mix(2 * frames);
  RenderInto(mix.data(), frames);
  return mix;
}

void ManualOutput::RenderInto(float* stereo, std::size_t frames) {
  if (source_ == nullptr) return;
  if (!away_) {
    source_->Render(stereo, frames);
    return;
  }
  if (keeperSource_ != nullptr) keeperSource_->Render(stereo, frames);
  std::fill(stereo, stereo + 2 * frames, 0.0f);
}

std::vector<std::int16_t> ManualOutput::Render(std::size_t frames) {
  const std::vector<float> mix = RenderFloat(frames);
  std::vector<std::int16_t> pcm(mix.size());
  for (std::size_t i = 0; i < mix.size(); ++i) pcm[i] = ToPcm16(mix[i]);
  return pcm;
}

void ManualOutput::SimulateRemoval() {
  if (away_ || events_ == nullptr) return;
  away_ = true;
  events_->OnOutputLost();
}

void ManualOutput::SimulateReopen() {
  if (!away_ || events_ == nullptr) return;
  events_->OnOutputRestored();
  away_ = false;
}

IDirectSound* CreateManualAudioDevice(ManualOutput** output, std::uint32_t sampleRate, std::uint32_t periodFrames) {
  auto manual = std::make_unique<ManualOutput>(sampleRate, periodFrames);
  ManualOutput* raw = manual.get();
  IDirectSound* device =
      CreateAudioDeviceWithOutput(std::move(manual), [raw](std::uint32_t, std::uint32_t) { return raw->ClockKeeper(); });
  if (output != nullptr) *output = device != nullptr ? raw : nullptr;
  return device;
}

}  // namespace velmo
