#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/outputs/output_diagnostics.h"
#include "platform/audio/outputs/output_selection.h"
#include "platform/audio/outputs/paced_output.h"
#include "platform/audio/outputs/pcm16.h"
#include "platform/audio/outputs/wave_file_writer.h"
#include "velmo/platform/audio_devices.h"

namespace velmo {
namespace {

// Set once any capture closes short; read by whoever asks, at any time.
// Relaxed: it is one flag on its own, guarding no other data.
std::atomic<bool> captureCutShort{false};

// Plays in real time like the null output and writes every period, 10 ms,
// to a 16-bit stereo WAVE file at the output's rate.
class CaptureOutput final : public PacedOutput {
 public:
  CaptureOutput(std::string path, std::uint32_t rate)
      : PacedOutput(rate, rate / 100), path_(std::move(path)), pcm_(2 * (rate / 100)) {}
  ~CaptureOutput() override { Close(); }

 protected:
  bool Prepare() override {
    if (writer_.Open(path_, SampleRate())) return true;
    ReportOutputFailure("capture", path_ + ": " + std::strerror(errno));
    return false;
  }
  void Consume(const float* stereo, std::size_t frames) override {
    for (std::size_t i = 0; i < 2 * frames; ++i) pcm_[i] = ToPcm16(stereo[i]);
    // A failed write (a full disk) loses this period of the file but not the
    // playback: cursors keep moving as on a sound card.  The first failure's
    // reason is kept for the line written when the file is closed.
    if (!writer_.Append(pcm_.data(), frames) && failure_ == 0) failure_ = errno != 0 ? errno : EIO;
  }
  void Finish() override {
    const std::uint32_t bytes = writer_.DataBytes();
    writer_.Close();
    if (failure_ == 0) return;
    char held[32];
    std::snprintf(held, sizeof held, "%.2f", static_cast<double>(bytes) / 4.0 / SampleRate());
    WriteDiagnostic("velmo: the capture " + path_ + " was not written whole (" + std::strerror(failure_) +
                    "); it holds " + held + " s");
    captureCutShort.store(true, std::memory_order_relaxed);
    failure_ = 0;
  }

 private:
  const std::string path_;
  std::vector<std::int16_t> pcm_;
  WaveFileWriter writer_;
  int failure_ = 0;  // errno of the first failed write: the pacing thread's, then Finish's once it has stopped
};

}  // namespace

bool CaptureWasCutShort() { return captureCutShort.load(std::memory_order_relaxed); }

std::unique_ptr<AudioOutput> CreateCaptureOutput(const std::string& path, std::uint32_t rate) {
  return std::make_unique<CaptureOutput>(path, rate);
}

}  // namespace velmo
