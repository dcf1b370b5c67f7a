// The output to the desktop's sound device, through SDL2.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/audio_output.h"
#include "platform/audio/outputs/callback_watch.h"
#include "platform/audio/outputs/chosen_device_return.h"

namespace velmo {

// The sdl output's period for a latency: the power of two of frames nearest
// to a quarter of it, from 64 to 4096 frames.
constexpr std::uint32_t SdlPeriodFor(std::uint32_t rate, std::uint32_t latencyMs) {
  const std::uint64_t quarter = static_cast<std::uint64_t>(rate) * latencyMs / 4000;
  std::uint32_t period = 64;
  // Up while the next power of two is nearer (by ratio) than this one.
  while (period < 4096 && static_cast<std::uint64_t>(period) * period * 2 < quarter * quarter) period *= 2;
  return period;
}

// Opens SDL's default audio device at the rate asked for (48000 Hz unless
// told otherwise), float stereo, and mixes in SDL's audio callback.  SDL
// converts if the hardware wants something else; the mixer's rate never
// changes.
//
// The latency (VELMO_LATENCY_MS, velmo-sample's --latency-ms) is the queue
// the output asks the sound server to keep: a new sound is heard about that
// much later.  SDL's PulseAudio driver on its own asks the server for a
// queue of a single period, so a mixer that runs a few milliseconds late
// leaves the server without samples (paplay --latency-msec=10 breaks up the
// same way).  The output therefore asks PulseAudio (and PipeWire's
// PulseAudio server) for the whole latency through libpulse's
// PULSE_LATENCY_MSEC, which rules over what SDL requests, and mixes in
// periods of about a quarter of it (a power of two of frames, as SDL wants),
// so that the queue holds several periods and one mixed late is covered.
// A latency set explicitly also sets PULSE_LATENCY_MSEC; with the default,
// a PULSE_LATENCY_MSEC the user has set is kept.
//
// SDL reports a removed device with an event, but the library owns no event
// loop (the program's toolkit has its own).  Instead a watcher thread asks
// SDL for the device's status every 20 ms; SDL marks a removed device as
// stopped.  The watcher then stops the callback from mixing, makes up the
// time nothing mixed since it last ran, tells the device it is lost (the
// device keeps time without it), closes it, and tries every 250 ms to open
// the default output again.  A device opened again plays silence until SDL
// first calls back, and only then does the watcher tell the device, which
// stops keeping time: so time never stands still, also while a restarted
// server takes its time to ask for samples.  All opening and closing after
// Open happens on the watcher, so SDL's device calls never race each other.
//
// SDL's PipeWire driver (SDL 2.26) never reports a device removed: when the
// server goes away its device stays "playing" and simply stops calling back.
// So the watcher also counts the audio callback's runs, and takes an open
// device whose callback ran and then has not run for kStallLimit as lost,
// the same way (OutputStalled).  Half a second is far beyond any late
// wake-up of a running stream (the callback runs every period: 5.3 ms at
// the default latency, under 180 ms at the longest latency allowed) and leaves
// room, within a second of a server's return, for the reopening attempts.
//
// A change of the default output needs nothing here: SDL opens the default
// device without naming a sink, and both PulseAudio (16) and PipeWire's
// session manager (wireplumber 0.4) move such a stream to the new default
// by themselves, without a gap the mixer would notice.
//
// A device chosen by name is another matter: PulseAudio ends a stream whose
// sink goes away rather than moving it.  That is a loss like any other, but
// the reopening falls back to the default device when the chosen one does
// not open, and from there the watcher looks every 250 ms for the chosen one
// in SDL's list, under its exact name (ChosenDeviceReturn).  Once it is
// listed again the watcher opens it while the default still plays, and only
// when it has opened does it leave the default, by a loss and a reopening
// like any other; a device listed that will not open is tried again less
// and less often, up to every 8 s, and the default plays on meanwhile.
// Each move is said in one line on standard error.
//
// SDL 2.32's PulseAudio driver never connects again once the server has
// gone; a reopening that fails therefore restarts SDL's audio driver, but
// only when the output started SDL's audio itself (see RestartDriver).  A
// program that plays through SDL's audio of its own as well should start
// it (SDL_InitSubSystem) before the output opens: the output then never
// restarts it, and never ends the program's own devices.
// SDL's list of devices.  SDL_GetAudioDeviceName hands out a pointer into
// SDL's own list, which the next SDL_GetNumAudioDevices on any thread may
// free (it drops removed devices), as SDL_AudioInit and SDL_AudioQuit do.
// Every walk of the list the library makes (the output's watcher, the
// device listing, the check that SDL's audio is present) and every start,
// stop and restart of SDL's audio it makes holds SdlDeviceListLock() for as
// long as it uses what SDL gave.  A host program that uses SDL's audio
// itself must not, while an SDL output is open or a listing runs, call
// SDL_GetNumAudioDevices, SDL_GetAudioDeviceName, SDL_GetDefaultAudioInfo,
// SDL_AudioInit, SDL_AudioQuit, or start or stop SDL's audio subsystem,
// other than with this lock held.
std::mutex& SdlDeviceListLock();

class SdlOutput final : public AudioOutput {
 public:
  static constexpr std::uint32_t kDefaultLatencyMs = 16;

  // The period at 48000 Hz and the default latency (256 frames, 5.3 ms).
  static constexpr std::uint32_t kPeriod = SdlPeriodFor(48000, kDefaultLatencyMs);
  static constexpr std::chrono::milliseconds kStallLimit{500};

  // `latencyMs` 0 takes the default, without overriding PULSE_LATENCY_MSEC.
  // `device` names the device to open (as SDL lists it); empty opens the
  // default.
  explicit SdlOutput(std::uint32_t rate, std::uint32_t latencyMs = 0, std::string device = {})
      : device_name_(std::move(device)),
        rate_(rate),
        latencyMs_(latencyMs != 0 ? latencyMs : kDefaultLatencyMs),
        latencyChosen_(latencyMs != 0),
        period_(SdlPeriodFor(rate, latencyMs_)),
        queueFillCallbacks_((static_cast<std::uint64_t>(rate) * latencyMs_ / 1000 + period_ - 1) / period_ + 1),
        scratch_(2 * period_) {}
  ~SdlOutput() override;
  std::uint32_t SampleRate() const override { return rate_; }
  std::uint32_t PeriodFrames() const override { return period_; }
  std::uint32_t LatencyMs() const { return latencyMs_; }
  double RunningLatencyMs() const override { return latencyMs_; }
  bool Open(MixSource& source, OutputEvents& events) override;
  void Close() override;

  // Makes the watcher act as if SDL had reported the device removed: the
  // loss and reopening then run exactly as for a real removal.
  void SimulateRemoval() { simulateRemoval_.store(true, std::memory_order_release); }
  // Whether a device is open now, and how often one was opened again after
  // a loss (for tests of the reopening).
  bool DeviceOpen() const { return deviceOpen_.load(std::memory_order_acquire); }
  std::uint64_t Reopenings() const { return reopenings_.load(std::memory_order_acquire); }

 private:
  static void Callback(void* self, std::uint8_t* stream, int bytes);
  static void AskPulseForLatency(std::uint32_t latencyMs, bool chosen);
  bool OpenDevice(bool fallBackToDefault = false);
  std::uint32_t OpenSdlDevice(const char* name);
  void UseDevice(std::uint32_t device);
  bool ReturnToChosenDevice();
  void StartDevice();
  void Withdraw();
  void MakeUpSilentTime();
  void CloseDevice();
  void Watch();
  bool OutputStalled();
  bool RestartDriver();

  const std::string device_name_;
  // Whether the chosen device went away and the default plays instead,
  // until it is back; when to look for it.  The watcher's alone after Open.
  bool onDefault_ = false;
  ChosenDeviceReturn return_;
  const std::uint32_t rate_;
  const std::uint32_t latencyMs_;
  const bool latencyChosen_;
  const std::uint32_t period_;
  // How many calls it takes to fill the server's queue (the latency, in
  // periods) and one more: the calls a device makes before it plays.
  const std::uint64_t queueFillCallbacks_;
  std::vector<float> scratch_;  // where the watcher mixes time made up
  MixSource* source_ = nullptr;
  OutputEvents* events_ = nullptr;
  std::uint32_t device_ = 0;
  bool subsystemUp_ = false;
  // Whether Open brought SDL's audio up (nothing else had it running), and
  // the driver SDL chose then; see RestartDriver.
  bool ownsSubsystem_ = false;
  std::string driver_;
  std::atomic<bool> deviceOpen_{false};
  std::atomic<bool> simulateRemoval_{false};
  // Whether the callback mixes (cleared from a loss to the next reopening),
  // and whether a callback is between its mark and its unmark; see Withdraw.
  std::atomic<bool> live_{true};
  std::atomic<bool> inCallback_{false};
  std::atomic<std::uint64_t> reopenings_{0};
  // Runs of the audio callback.  Only the count matters, and the callback
  // publishes nothing through it, so relaxed ordering on both sides.
  std::atomic<std::uint64_t> callbacks_{0};
  // The watcher's view of the count: what it was when the device opened,
  // and the last one seen and when it last moved.  Written by whoever opens
  // the device, which is the watcher after Open has started it.
  std::uint64_t callbacksAtOpen_ = 0;
  CallbackWatch watch_;
  std::thread watcher_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
};

}  // namespace velmo
