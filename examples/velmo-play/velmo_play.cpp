// velmo-play: streams a WAVE file as music through the Velmo Sound library
// and plays effects over it, from a terminal.
//
// The library's model in a few lines: one VSSound engine starts the audio
// device (InitDSound), loads effects whole into buffers of their own
// (LoadStatic, PlayStatic), and plays one piece of music as a stream
// (OpenStream, PlayStream), which a timer thread inside the library keeps
// refilling and which repeats from its start until it is stopped.  Every
// call is made from this one thread.  What goes wrong is reported by the
// library itself as a message box; a program without a window gets each box
// as a line on standard error.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <velmo/platform/audio_devices.h>
#include <velmo/platform/audio_output_state.h>
#include <velmo/platform/audio_settings.h>
#include <velmo/sound/static_sound.h>
#include <velmo/sound/vs_sound.h>
#include <velmo/sound/wave_reader.h>

#include "play_command_line.h"
#include "progress_display.h"
#include "stop_signals.h"

namespace {

constexpr int kExitPlayed = 0;
constexpr int kExitCannotPlay = 1;
constexpr int kExitUsage = 2;

// Waits `seconds`, or less when a stop signal comes: the stop interrupts
// the sleep.
void Wait(double seconds) {
  if (seconds <= 0) return;
  timespec span{};
  span.tv_sec = static_cast<time_t>(seconds);
  span.tv_nsec = static_cast<long>((seconds - static_cast<double>(span.tv_sec)) * 1e9);
  nanosleep(&span, nullptr);
}

std::string DescribeFormat(const velmo::WAVEFORMATEX& format, double seconds) {
  const char* channels = format.nChannels == 1 ? "mono" : format.nChannels == 2 ? "stereo" : nullptr;
  return player::FormatTime(seconds) + ", " + std::to_string(format.nSamplesPerSec) + " Hz " +
         std::to_string(format.wBitsPerSample) + "-bit " +
         (channels ? channels : std::to_string(format.nChannels) + " channels");
}

// The seconds that `bytes` sample bytes play for: the device plays
// nBlockAlign bytes nSamplesPerSec times a second.  0 when the format names
// no rate or frame size.
double PlayingSeconds(const velmo::WAVEFORMATEX& format, double bytes) {
  const double bytesPerSecond = static_cast<double>(format.nSamplesPerSec) * format.nBlockAlign;
  return bytesPerSecond > 0 ? bytes / bytesPerSecond : 0.0;
}

// What the library's WAVE reader says of a file it could not read: the
// result's own name, and what it means for the reader's codes.
std::string ReaderFailure(velmo::DWORD result) {
  const char* name = velmo::WaveResultName(result);
  std::string text = name ? name : "result " + std::to_string(result);
  switch (result) {
    case velmo::WaveErrOpenFailed: return text + " (the file cannot be opened for reading)";
    case velmo::WaveErrBadFile: return text + " (not a RIFF/WAVE file, or its format chunk is short)";
    case velmo::WaveErrReadFailed: return text + " (the format chunk cannot be read whole)";
    case velmo::WaveErrNoMemory: return text + " (out of memory)";
    default: return text;
  }
}

struct Music {
  velmo::WAVEFORMATEX format{};
  double seconds = 0;
};

// Reads the music's format and the length of its samples with the
// library's reader, before any device starts.  The stream itself says
// nothing when it cannot open a file, so this is where the player learns
// why.  On failure says why in `error`.
bool ReadMusic(const std::string& path, Music* music, std::string* error) {
  velmo::HMMIO file = nullptr;
  velmo::WAVEFORMATEX* format = nullptr;
  velmo::MMCKINFO riff{};
  velmo::MMCKINFO data{};
  velmo::DWORD result = velmo::WaveReaderOpen(path.c_str(), &file, &format, &riff);
  if (result != 0) {
    *error = ReaderFailure(result);
    return false;
  }
  music->format = *format;
  result = velmo::WaveReaderFindData(file, &data, &riff);
  velmo::WaveReaderClose(&file, &format);
  if (result != 0) {
    *error = ReaderFailure(result) + ": no data chunk";
    return false;
  }
  if (music->format.wFormatTag != velmo::WAVE_FORMAT_PCM) {
    *error = "its samples are not PCM (format tag " + std::to_string(music->format.wFormatTag) +
             "); music is streamed from PCM files only";
    return false;
  }
  music->seconds = PlayingSeconds(music->format, data.cksize);
  if (data.cksize == 0 || music->seconds <= 0) {
    *error = data.cksize == 0 ? "it holds no samples" : "its format names no sample rate or frame size";
    return false;
  }
  return true;
}

// A stop signal came before the music began: whatever has started is shut
// down (closing the device completes a capture file), and the program ends
// as a stopped one does.
int StoppedBeforePlaying(velmo::VSSound* sound) {
  player::StopInterrupting();
  if (sound != nullptr) sound->CloseDSound();
  std::printf("Stopped before playing\n");
  return kExitPlayed;
}

bool EffectPlaying(velmo::StaticSound* effect) {
  // The record's Playing flag stays 1 after a one-shot ends; the buffer's
  // own status says whether it still sounds.
  velmo::DWORD status = 0;
  return effect->SoundBuffer->GetStatus(&status) == velmo::DS_OK && (status & velmo::DSBSTATUS_PLAYING) != 0;
}

// One line a device: its name, its description, and (default) on the
// default; or one JSON object a line.
int ListDevices(bool json) {
  const std::vector<velmo::AudioDevice> devices = velmo::ListAudioDevices();
  std::fputs(velmo::AudioDeviceListText(devices, json).c_str(), stdout);
  if (devices.empty()) {
    std::fprintf(stderr, "velmo-play: no sound devices found\n");
    return kExitCannotPlay;
  }
  return kExitPlayed;
}

// A device chosen by a name the output does not list is a usage error: one
// line names the devices there are.  The null and capture outputs list
// nothing and take no device; neither does a server that does not answer,
// which the start-up reports as a device that did not start.  The device
// is the one the library will open: --device, or VELMO_AUDIO_DEVICE when
// the user set it.
bool DeviceNameKnown() {
  velmo::AudioSettings effective;
  if (!velmo::EffectiveAudioSettings(&effective) || effective.device.empty()) return true;
  const std::vector<velmo::AudioDevice> devices = velmo::ListAudioDevices();
  if (devices.empty()) return true;
  std::string names;
  for (const velmo::AudioDevice& device : devices) {
    if (device.name == effective.device) return true;
    names += (names.empty() ? "" : ", ") + device.name;
  }
  std::fprintf(stderr, "velmo-play: no sound device is named %s; the devices are: %s\n", effective.device.c_str(),
               names.c_str());
  return false;
}

// One line about where the sound goes, as the library's state says:
//   Output: sdl on velmo_test, 16.0 ms
//   Output: pipewire on the default device (velmo_test went away), 5.3 ms
//   Output: sdl lost; keeping time until it is back
std::string DescribeOutput(const velmo::AudioOutputState& state) {
  std::string line = "Output: " + state.output;
  if (!state.connected) return line + " lost; keeping time until it is back";
  if (state.output == "pipewire" || state.output == "pulseaudio" || state.output == "sdl") {
    if (state.device.empty()) line += " on the default device";
    else if (state.onDefaultDevice) line += " on the default device (" + state.device + " went away)";
    else line += " on " + state.device;
  }
  char latency[32];
  std::snprintf(latency, sizeof latency, ", %.1f ms", state.latencyMs);
  return line + latency;
}

}  // namespace

int main(int argc, char** argv) {
  const player::CommandLine commandLine = player::ParseCommandLine(argc, argv);
  if (commandLine.outcome == player::CommandLine::Outcome::kHelp) {
    std::fputs(player::kUsage, stdout);
    return kExitPlayed;
  }
  if (commandLine.outcome == player::CommandLine::Outcome::kUsageError) {
    std::fprintf(stderr, "velmo-play: %s\n%s", commandLine.error.c_str(), player::kUsage);
    return kExitUsage;
  }
  const player::PlayOptions& options = commandLine.options;
  if (commandLine.outcome == player::CommandLine::Outcome::kListDevices) return ListDevices(options.json);
  // The device goes to the library as a setting.  The user's own
  // --device wins over VELMO_AUDIO_DEVICE; everything else is left to the
  // environment (VELMO_AUDIO_OUTPUT, VELMO_LATENCY_MS, VELMO_OUTPUT_RATE).
  velmo::AudioSettings settings;
  settings.device = options.device;
  const std::string refused = velmo::SetAudioSettings(settings, velmo::AudioSettingsPriority::kOverEnvironment);
  if (!refused.empty()) {
    std::fprintf(stderr, "velmo-play: --device: %s\n", refused.c_str());
    return kExitUsage;
  }
  if (!DeviceNameKnown()) return kExitUsage;
  // Before anything else, so that the library's threads start with the stop
  // signals blocked.  Without it the signals end the program by their
  // default action.
  player::CatchStopSignals();

  // A stop that comes while the files are read or the device starts ends
  // the program as soon as the step under way is over: a read it interrupts
  // fails, and the failure is the stop's, not the file's.
  Music music;
  std::string error;
  const bool musicRead = ReadMusic(options.music, &music, &error);
  if (player::StopRequested()) return StoppedBeforePlaying(nullptr);
  if (!musicRead) {
    std::fprintf(stderr, "velmo-play: cannot play %s: %s\n", options.music.c_str(), error.c_str());
    return kExitCannotPlay;
  }

  // The engine needs the window that owns the sound.  A terminal program
  // has none: a null handle means no owner, and the library's message boxes
  // then go to standard error.
  velmo::VSSound sound{};
  if (sound.InitDSound(nullptr) != 1) {
    if (player::StopRequested()) return StoppedBeforePlaying(nullptr);
    std::fprintf(stderr, "velmo-play: the audio device did not start\n");
    return kExitCannotPlay;
  }
  if (player::StopRequested()) return StoppedBeforePlaying(&sound);

  std::vector<velmo::StaticSound*> effects;
  for (const std::string& path : options.effects) {
    velmo::StaticSound* effect = sound.LoadStatic(path.c_str());
    if (player::StopRequested()) return StoppedBeforePlaying(&sound);
    if (effect == nullptr) {
      std::fprintf(stderr, "velmo-play: cannot play the effect %s\n", path.c_str());
      sound.CloseDSound();
      return kExitCannotPlay;
    }
    effects.push_back(effect);
  }
  const int streamOpened = sound.OpenStream(options.music.c_str());
  if (player::StopRequested()) return StoppedBeforePlaying(&sound);
  if (streamOpened != 1) {
    std::fprintf(stderr, "velmo-play: cannot play %s: the device refused its stream buffer\n", options.music.c_str());
    sound.CloseDSound();
    return kExitCannotPlay;
  }

  std::printf("Playing %s (%s), %s\n", options.music.c_str(), DescribeFormat(music.format, music.seconds).c_str(),
              options.loop ? "looping until Ctrl-C" : "once");
  for (velmo::StaticSound* effect : effects)
    std::printf("Effect %s (%s)\n", effect->FileName,
                DescribeFormat(*effect->WaveFormat, PlayingSeconds(*effect->WaveFormat, effect->WaveSize)).c_str());
  std::fflush(stdout);

  const bool terminal = isatty(STDOUT_FILENO) == 1;
  player::ProgressDisplay display(stdout, terminal, music.seconds, options.loop);
  // Where the sound goes, and a line each time that changes: the library
  // is asked at every redraw and never calls back.
  std::string whereItGoes = DescribeOutput(velmo::GetAudioOutputState());
  display.Note(whereItGoes);

  // The stream repeats until it is stopped; played once, it is stopped when
  // its length has gone by.  Effects play to their end either way.
  const auto started = std::chrono::steady_clock::now();
  sound.PlayStream();
  for (velmo::StaticSound* effect : effects) sound.PlayStatic(effect);

  bool musicPlaying = true;
  double elapsed = 0;
  for (;;) {
    elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (player::StopRequested()) break;
    if (musicPlaying && !options.loop && elapsed >= music.seconds) {
      sound.StopStream();
      musicPlaying = false;
    }
    bool effectsPlaying = false;
    for (velmo::StaticSound* effect : effects) effectsPlaying = effectsPlaying || EffectPlaying(effect);
    if (!musicPlaying && !effectsPlaying) break;

    const std::string now = DescribeOutput(velmo::GetAudioOutputState());
    if (now != whereItGoes) display.Note(whereItGoes = now);
    display.Update(elapsed);
    // Ten redraws a second; the end of a single pass is not overshot.
    double wait = 0.1;
    if (musicPlaying && !options.loop) wait = std::min(wait, music.seconds - elapsed);
    Wait(wait);
  }

  // Closing the device stops the stream and the effects, and completes a
  // capture file; its waits are not to be cut short.
  player::StopInterrupting();
  const bool interrupted = player::StopRequested();
  for (velmo::StaticSound* effect : effects) sound.StopStatic(effect);
  sound.CloseDSound();
  display.Finish(elapsed, interrupted);
  // A capture that missed sound has said so in its own line; the run did
  // not deliver what was asked of it.
  if (velmo::CaptureWasCutShort()) return kExitCannotPlay;
  return kExitPlayed;
}
