#include "platform/audio/outputs/paced_output.h"

#include <chrono>

namespace velmo {

PacedOutput::PacedOutput(std::uint32_t sampleRate, std::uint32_t periodFrames)
    : sampleRate_(sampleRate), periodFrames_(periodFrames), period_(2 * periodFrames) {}

PacedOutput::~PacedOutput() {
  // A derived output closes itself; this only covers a base never closed.
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
}

bool PacedOutput::Open(MixSource& source, OutputEvents&) {
  if (thread_.joinable()) return false;
  if (!Prepare()) return false;
  source_ = &source;
  stopping_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void PacedOutput::Close() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  Finish();
}

// See PaceSchedule for when each period is mixed.
void PacedOutput::Run() {
  using Clock = PaceSchedule::Clock;
  const auto periodLength = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(periodFrames_) / sampleRate_));
  PaceSchedule schedule(periodLength, Clock::now());
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    source_->Render(period_.data(), periodFrames_);
    Consume(period_.data(), periodFrames_);
    lock.lock();
    const auto due = schedule.Next(Clock::now());
    wake_.wait_until(lock, due, [this] { return stopping_; });
  }
}

}  // namespace velmo
