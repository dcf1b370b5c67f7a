#include <memory>
#include <string>
#include <vector>

#include "platform/audio/outputs/output_selection.h"
#include "platform/audio/outputs/paced_output.h"
#include "platform/audio/outputs/pcm16.h"
#include "platform/audio/outputs/wave_file_writer.h"

namespace velmo {
namespace {

// Plays in real time like the null output and writes every period, 10 ms,
// to a 16-bit stereo WAVE file at the output's rate.
class CaptureOutput final : public PacedOutput {
 public:
  CaptureOutput(std::string path, std::uint32_t rate)
      : PacedOutput(rate, rate / 100), path_(std::move(path)), pcm_(2 * (rate / 100)) {}
  ~CaptureOutput() override { Close(); }

 protected:
  bool Prepare() override { return writer_.Open(path_, SampleRate()); }
  void Consume(const float* stereo, std::size_t frames) override {
    for (std::size_t i = 0; i < 2 * frames; ++i) pcm_[i] = ToPcm16(stereo[i]);
    // A failed write (a full disk) loses this period of the file but not the
    // playback: cursors keep moving as on a sound card.
    writer_.Append(pcm_.data(), frames);
  }
  void Finish() override { writer_.Close(); }

 private:
  const std::string path_;
  std::vector<std::int16_t> pcm_;
  WaveFileWriter writer_;
};

}  // namespace

std::unique_ptr<AudioOutput> CreateCaptureOutput(const std::string& path, std::uint32_t rate) {
  return std::make_unique<CaptureOutput>(path, rate);
}

}  // namespace velmo
