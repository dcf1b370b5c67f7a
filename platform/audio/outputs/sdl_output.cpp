#include "platform/audio/outputs/sdl_output.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/audio/outputs/output_diagnostics.h"
#include "platform/audio/outputs/output_selection.h"
#include "platform/audio/outputs/sound_library_quiet.h"

namespace velmo {

namespace {
constexpr auto kStatusPoll = std::chrono::milliseconds(20);
static_assert(std::is_same_v<SDL_AudioDeviceID, std::uint32_t>);
constexpr int kPollsPerReopenAttempt = 12;  // about every 250 ms
}  // namespace

SdlOutput::~SdlOutput() { Close(); }

// SDL's PulseAudio driver asks the server for a queue of one period and
// takes no latency of ours; libpulse reads PULSE_LATENCY_MSEC at every
// stream connection (reopenings included), and nothing else reaches it.
// This is the library's one write to the environment, and the grep of
// tests/environment_writes_test.sh keeps it the only one.  It is made on
// the thread that starts the device (InitDSound), before this output's
// watcher and SDL's audio threads exist (the audio subsystem is down until
// the SDL_InitSubSystem after it), and only when the variable does not hold
// the value already: in the usual process, once, before any thread of the
// library or of SDL runs.  A program whose own threads read the
// environment meanwhile starts the device before them (docs/library.md).
// A latency left at the default keeps a PULSE_LATENCY_MSEC the user set.
void SdlOutput::AskPulseForLatency(std::uint32_t latencyMs, bool chosen) {
  const std::string wanted = std::to_string(latencyMs);
  const char* current = std::getenv("PULSE_LATENCY_MSEC");
  if (current != nullptr && (!chosen || wanted == current)) return;
  ::setenv("PULSE_LATENCY_MSEC", wanted.c_str(), 1);
}

// The callback mixes only while the output is live (see Withdraw); a
// callback that SDL still makes after that plays silence.  Both stores and
// the load are sequentially consistent, against Withdraw's store and load.
void SdlOutput::Callback(void* self, std::uint8_t* stream, int bytes) {
  auto* output = static_cast<SdlOutput*>(self);
  output->callbacks_.fetch_add(1, std::memory_order_relaxed);
  const std::size_t frames = static_cast<std::size_t>(bytes) / (2 * sizeof(float));
  auto* stereo = reinterpret_cast<float*>(stream);
  output->inCallback_.store(true, std::memory_order_seq_cst);
  if (output->live_.load(std::memory_order_seq_cst)) output->source_->Render(stereo, frames);
  else std::fill(stereo, stereo + 2 * frames, 0.0f);
  output->inCallback_.store(false, std::memory_order_seq_cst);
}

// Stops the callback from mixing, and returns once no callback is mixing.
// The callback marks itself in, then reads live_; this clears live_, then
// reads the mark: either the callback sees live_ cleared, or this sees it
// in and waits for it, which takes no longer than one mix.  It does not
// wait for SDL: a device whose server is stopped may hold SDL's audio thread
// (and so SDL_CloseAudioDevice) for as long as the server stays stopped,
// and the device's time must not stand still meanwhile.
void SdlOutput::Withdraw() {
  live_.store(false, std::memory_order_seq_cst);
  while (inCallback_.load(std::memory_order_seq_cst)) std::this_thread::yield();
}

std::mutex& SdlDeviceListLock() {
  static std::mutex lock;
  return lock;
}

namespace {

// The names of SDL's playback devices, copied while the list is held.
std::vector<std::string> ListedSdlDeviceNames() {
  std::lock_guard<std::mutex> guard(SdlDeviceListLock());
  std::vector<std::string> names;
  const int count = SDL_GetNumAudioDevices(0);
  for (int i = 0; i < count; ++i)
    if (const char* listed = SDL_GetAudioDeviceName(i, 0)) names.emplace_back(listed);
  return names;
}

}  // namespace

// A device opened paused, or 0.  No changes allowed: SDL converts to what
// the hardware takes, so the callback always receives float stereo at the
// rate asked for.
std::uint32_t SdlOutput::OpenSdlDevice(const char* name) {
  SDL_AudioSpec wanted{};
  wanted.freq = static_cast<int>(rate_);
  wanted.format = AUDIO_F32SYS;
  wanted.channels = 2;
  wanted.samples = static_cast<std::uint16_t>(period_);
  wanted.callback = &SdlOutput::Callback;
  wanted.userdata = this;
  SDL_AudioSpec obtained{};
  return SDL_OpenAudioDevice(name, 0, &wanted, &obtained, 0);
}

// `fallBackToDefault`: when the chosen device does not open (it went away),
// the default is opened instead, with one line saying so, and the watcher
// goes back to the chosen one once SDL lists it again.
bool SdlOutput::OpenDevice(bool fallBackToDefault) {
  const char* name = device_name_.empty() || onDefault_ ? nullptr : device_name_.c_str();
  SDL_AudioDeviceID device = OpenSdlDevice(name);
  if (device == 0 && name != nullptr && fallBackToDefault) {
    device = OpenSdlDevice(nullptr);
    if (device != 0) {
      onDefault_ = true;
      return_.Start(std::chrono::steady_clock::now());
      // SDL keeps a removed device in its list until the list is next
      // asked for, and names a device added meanwhile with the same
      // description "NAME (2)", which is never taken for the chosen one: a
      // walk now drops the removed entry, so that the chosen device, when
      // it returns, is listed under its own name again.
      ListedSdlDeviceNames();
      ReportChosenDeviceGone(device_name_);
    }
  }
  if (device == 0) return false;
  UseDevice(device);
  return true;
}

// The device the output plays on from now; it starts paused.
void SdlOutput::UseDevice(std::uint32_t device) {
  device_ = device;
  callbacksAtOpen_ = callbacks_.load(std::memory_order_relaxed);
  watch_.Reset(callbacksAtOpen_, std::chrono::steady_clock::now());
  deviceOpen_.store(true, std::memory_order_release);
}

// On the default in place of the chosen device, once it is listed again:
// it is opened while the default still plays, and only once it has opened
// is the default left, by a loss and a reopening like any other.  A device
// listed that will not open leaves the default playing, without a gap, and
// is tried again later (ChosenDeviceReturn).  Whether the output left the
// default.  Called by the watcher.
bool SdlOutput::ReturnToChosenDevice() {
  const auto now = std::chrono::steady_clock::now();
  if (!return_.LookDue(now) || !return_.Listed(ListedSdlDeviceNames(), device_name_, now)) return false;
  const SDL_AudioDeviceID chosen = OpenSdlDevice(device_name_.c_str());
  if (chosen == 0) {
    return_.OpenFailed(now);
    return false;
  }
  Withdraw();
  MakeUpSilentTime();
  events_->OnOutputLost();
  CloseDevice();
  onDefault_ = false;
  UseDevice(chosen);
  ReportChosenDeviceBack(device_name_);
  StartDevice();
  return true;
}

// SDL opens a device paused: the callback runs from here on.
void SdlOutput::StartDevice() { SDL_PauseAudioDevice(device_, 0); }

void SdlOutput::CloseDevice() {
  if (device_ != 0) SDL_CloseAudioDevice(device_);
  device_ = 0;
  deviceOpen_.store(false, std::memory_order_release);
}

bool SdlOutput::Open(MixSource& source, OutputEvents& events) {
  if (subsystemUp_) return false;
  QuietSystemSoundLibraries();
  AskPulseForLatency(latencyMs_, latencyChosen_);
  std::unique_lock<std::mutex> listLock(SdlDeviceListLock());
  ownsSubsystem_ = SDL_WasInit(SDL_INIT_AUDIO) == 0;
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
    ReportOutputFailure("sdl", SDL_GetError());
    return false;
  }
  listLock.unlock();
  subsystemUp_ = true;
  const char* driver = SDL_GetCurrentAudioDriver();
  driver_ = driver != nullptr ? driver : "";
  source_ = &source;
  events_ = &events;
  if (!OpenDevice()) {
    ReportOutputFailure("sdl", SDL_GetError());
    std::lock_guard<std::mutex> guard(SdlDeviceListLock());
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    subsystemUp_ = false;
    return false;
  }
  live_.store(true, std::memory_order_seq_cst);
  StartDevice();
  stopping_ = false;
  watcher_ = std::thread([this] { Watch(); });
  return true;
}

void SdlOutput::Watch() {
  int pollsUntilRetry = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, kStatusPoll, [this] { return stopping_; })) {
    lock.unlock();
    if (device_ != 0 && live_.load(std::memory_order_relaxed) && onDefault_ && ReturnToChosenDevice()) {
      // Playing silence on the chosen device until it first calls back,
      // as after any reopening (below).
    } else if (device_ != 0 && live_.load(std::memory_order_relaxed)) {
      const bool removed = simulateRemoval_.exchange(false, std::memory_order_acq_rel) ||
                           SDL_GetAudioDeviceStatus(device_) == SDL_AUDIO_STOPPED || OutputStalled();
      // The callback stops mixing before the device hears of the loss and
      // keeps time itself; closing may then take as long as SDL needs.
      if (removed) {
        Withdraw();
        MakeUpSilentTime();
        events_->OnOutputLost();
        CloseDevice();
        pollsUntilRetry = 0;
      }
    } else if (device_ != 0) {
      // Reopened, and playing silence until SDL first calls back: a server
      // just started may take a while to ask for samples, and the device
      // keeps time until then.  It stops before the callback mixes.
      if (SDL_GetAudioDeviceStatus(device_) == SDL_AUDIO_STOPPED) {
        CloseDevice();
        pollsUntilRetry = kPollsPerReopenAttempt;
      } else if (callbacks_.load(std::memory_order_relaxed) != callbacksAtOpen_) {
        events_->OnOutputRestored();
        watch_.Reset(callbacks_.load(std::memory_order_relaxed), std::chrono::steady_clock::now());
        live_.store(true, std::memory_order_seq_cst);
        reopenings_.fetch_add(1, std::memory_order_release);
      }
    } else if (pollsUntilRetry-- <= 0) {
      bool opened = OpenDevice(/*fallBackToDefault=*/true);
      if (!opened && RestartDriver()) opened = OpenDevice(/*fallBackToDefault=*/true);
      if (opened) StartDevice();
      else pollsUntilRetry = kPollsPerReopenAttempt;
    }
    lock.lock();
  }
  lock.unlock();
  // SDL keeps per-thread data (the text of its last error, set by every
  // failed reopening) and frees it at the end of its own threads only; this
  // thread is not one of them.
  SDL_TLSCleanup();
}

// SDL 2.32's PulseAudio driver connects to the server once, when SDL's
// audio starts, and keeps that connection for as long as it runs: once the
// server has gone, every device it opens fails ("Could not connect
// PulseAudio stream"), even after the server is back.  (SDL 2.26's driver
// connects anew for each device.)  So a reopening that fails restarts the
// driver SDL chose at Open, which connects again when the server answers,
// or fails, to be tried again at the next attempt.
//
// Restarting ends every device open through SDL's audio, the host
// program's own too; it is done only when the output itself brought SDL's
// audio up, which is when nothing else had it running at Open.  An output
// that found it running never restarts it, and on SDL 2.32 then stays on
// the device keeping time after a server restart.  Called by the watcher,
// with no device of ours open.
bool SdlOutput::RestartDriver() {
  if (!ownsSubsystem_ || driver_.empty()) return false;
  std::lock_guard<std::mutex> guard(SdlDeviceListLock());
  return SDL_AudioInit(driver_.c_str()) == 0;
}

// Whether the open device has stopped calling back: it has started, and
// then its callback has not run for kStallLimit.  A device that has not
// started yet is waited for, not reopened: PipeWire connects a stream before
// its session manager links it to a sink (after a restart, or while there is
// no sink at all), and reopening it would only report the output lost again
// and again.  Nor has a device started while it only fills the server's
// queue: PulseAudio asks for the whole queue at once, and only the calls
// after that follow the sound being played.  A sink may take its time to
// start playing (PulseAudio's null sink, idle, plays its first two seconds
// as one block), and that is no loss.  Called by the watcher only.
bool SdlOutput::OutputStalled() {
  const auto now = std::chrono::steady_clock::now();
  const std::uint64_t count = callbacks_.load(std::memory_order_relaxed);
  if (watch_.Look(count, now)) return false;
  if (count - callbacksAtOpen_ <= queueFillCallbacks_) return false;
  return watch_.SinceProgress(now) >= kStallLimit;
}

// From the callback's last run until the loss was seen, nothing mixed: up to
// kStallLimit for a stalled device.  That time is mixed now, into nothing,
// before the device keeps time itself, so that the music carries on where
// it would be had it been heard and an effect started meanwhile is not heard
// late.  A device that never called back has had no time pass for it, and
// one whose callback ran since the last poll (a device left while it plays,
// for the chosen one) has mixed until a moment ago (CallbackWatch::Unmixed).
// Called by the watcher, with the callback withdrawn.
void SdlOutput::MakeUpSilentTime() {
  const std::uint64_t count = callbacks_.load(std::memory_order_relaxed);
  if (count == callbacksAtOpen_) return;
  const auto silent = watch_.Unmixed(count, std::chrono::steady_clock::now(), kStallLimit + 2 * kStatusPoll);
  const auto frames = static_cast<std::size_t>(std::chrono::duration<double>(silent).count() * rate_);
  for (std::size_t done = 0; done < frames; done += period_)
    source_->Render(scratch_.data(), std::min<std::size_t>(period_, frames - done));
}

void SdlOutput::Close() {
  if (!subsystemUp_) return;
  if (watcher_.joinable()) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    watcher_.join();
  }
  CloseDevice();
  std::lock_guard<std::mutex> guard(SdlDeviceListLock());
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
  subsystemUp_ = false;
}

std::unique_ptr<AudioOutput> CreateSdlOutput(std::uint32_t rate, std::uint32_t latencyMs, const std::string& device) {
  return std::make_unique<SdlOutput>(rate, latencyMs, device);
}

// Starting SDL's audio subsystem loads and probes the system's sound
// libraries, which takes milliseconds; the answer is kept for the process.
// When the subsystem already runs (a device is open) it is present.
bool SdlAudioPresent() {
  static std::once_flag probed;
  static bool present = false;
  std::call_once(probed, [] {
    QuietSystemSoundLibraries();  // before SDL loads them
    std::lock_guard<std::mutex> guard(SdlDeviceListLock());
    if (SDL_WasInit(SDL_INIT_AUDIO) != 0) {
      present = true;
    } else if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {
      present = true;
      SDL_QuitSubSystem(SDL_INIT_AUDIO);
    } else {
      ReportOutputFailure("sdl", SDL_GetError());
    }
  });
  return present;
}

// SDL names its playback devices by their descriptions (PulseAudio's and
// PipeWire's drivers) or their ALSA names; the default is the one whose name
// SDL_GetDefaultAudioInfo gives, when the driver can tell.
std::vector<AudioDevice> ListSdlDevices() {
  QuietSystemSoundLibraries();
  std::lock_guard<std::mutex> guard(SdlDeviceListLock());
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
    ReportOutputFailure("sdl", SDL_GetError());
    return {};
  }
  std::string defaultName;
  char* name = nullptr;
  SDL_AudioSpec spec{};
  if (SDL_GetDefaultAudioInfo(&name, &spec, 0) == 0 && name != nullptr) defaultName = name;
  SDL_free(name);
  std::vector<AudioDevice> devices;
  const int count = SDL_GetNumAudioDevices(0);
  // SDL tells devices that share a description apart as "NAME (2)", ...,
  // but gives the default by its bare description: when several share it,
  // which one is the default cannot be told, and none is marked.
  int sharing = 0;
  for (int i = 0; i < count; ++i) {
    const char* device = SDL_GetAudioDeviceName(i, 0);
    if (device == nullptr) continue;
    const std::string name = device;
    if (!defaultName.empty() && name.rfind(defaultName, 0) == 0 &&
        (name.size() == defaultName.size() || name.compare(defaultName.size(), 2, " (") == 0))
      ++sharing;
    devices.push_back({name, name, name == defaultName});
  }
  if (sharing > 1)
    for (AudioDevice& device : devices) device.isDefault = false;
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
  return devices;
}

}  // namespace velmo
