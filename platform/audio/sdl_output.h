// The output to the desktop's sound device, through SDL2.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/audio/audio_output.h"

namespace velmo {

// Opens SDL's default audio device at the rate asked for (48000 Hz unless
// told otherwise), float stereo, 512-frame periods (about 10.7 ms at
// 48 kHz), and mixes in SDL's audio callback.  SDL converts
// if the hardware wants something else; the mixer's rate never changes.
//
// The period sets how often the mixer runs and so how soon a new sound can
// start; it is not what keeps the sound whole on a busy machine.  SDL's
// PulseAudio driver asks the server for a queue of a single period, so a
// mixer that runs a few milliseconds late leaves the server without samples
// (paplay --latency-msec=10 breaks up the same way).  The output therefore
// asks PulseAudio (and PipeWire's PulseAudio server) for a 40 ms queue, the
// buffering of paplay --latency-msec=40, through libpulse's
// PULSE_LATENCY_MSEC, which rules over what SDL requests; a value the user
// has set is kept.  Measured through a PulseAudio server, the queue then
// holds 30 to 40 ms, and a sound started now is heard about that much later.
//
// SDL reports a removed device with an event, but the library owns no event
// loop (the program's toolkit has its own).  Instead a watcher thread asks
// SDL for the device's status every 20 ms; SDL marks a removed device as
// stopped.  The watcher then closes it, tells the device its buffers are
// lost, and tries every 250 ms to open the default output again, telling the
// device once one opens.  All opening and closing after Open happens on
// the watcher, so SDL's device calls never race each other.
//
// SDL's PipeWire driver (SDL 2.26) never reports a device removed: when the
// server goes away its device stays "playing" and simply stops calling back.
// So the watcher also counts the audio callback's runs, and takes an open
// device whose callback ran and then has not run for kStallLimit as lost,
// the same way (OutputStalled).  Half a second is far beyond any late
// wake-up of a running stream (the callback runs every 10.7 ms) and leaves
// room, within a second of a server's return, for the reopening attempts.
//
// A change of the default output needs nothing here: SDL opens the default
// device without naming a sink, and both PulseAudio (16) and PipeWire's
// session manager (wireplumber 0.4) move such a stream to the new default
// by themselves, without a gap the mixer would notice.
class SdlOutput final : public AudioOutput {
 public:
  static constexpr std::uint32_t kPeriod = 512;
  static constexpr const char* kServerQueueMs = "40";
  static constexpr std::chrono::milliseconds kStallLimit{500};

  explicit SdlOutput(std::uint32_t rate) : rate_(rate) {}
  ~SdlOutput() override;
  std::uint32_t SampleRate() const override { return rate_; }
  std::uint32_t PeriodFrames() const override { return kPeriod; }
  bool Open(MixSource& source, OutputEvents& events) override;
  void Close() override;

  // Makes the watcher act as if SDL had reported the device removed: the
  // loss and reopening then run exactly as for a real removal.
  void SimulateRemoval() { simulateRemoval_.store(true, std::memory_order_release); }
  // Whether a device is open now (for tests of the reopening).
  bool DeviceOpen() const { return deviceOpen_.load(std::memory_order_acquire); }

 private:
  static void Callback(void* self, std::uint8_t* stream, int bytes);
  bool OpenDevice();
  void CloseDevice();
  void Watch();
  bool OutputStalled();

  const std::uint32_t rate_;
  MixSource* source_ = nullptr;
  OutputEvents* events_ = nullptr;
  std::uint32_t device_ = 0;
  bool subsystemUp_ = false;
  std::atomic<bool> deviceOpen_{false};
  std::atomic<bool> simulateRemoval_{false};
  // Runs of the audio callback.  Only the count matters, and the callback
  // publishes nothing through it, so relaxed ordering on both sides.
  std::atomic<std::uint64_t> callbacks_{0};
  // The watcher's view of the count: what it was when the device opened,
  // the last one seen and when it last moved.  Written by whoever opens the
  // device, which is the watcher after Open has started it.
  std::uint64_t callbacksAtOpen_ = 0;
  std::uint64_t seenCallbacks_ = 0;
  std::chrono::steady_clock::time_point lastProgress_{};
  std::thread watcher_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
};

}  // namespace velmo
