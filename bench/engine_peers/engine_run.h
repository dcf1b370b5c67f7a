// What every engine program of bench/engine_cpu.sh shares: its command line,
// the looping source every voice plays, and the CPU time of the play.
//
//   PROGRAM VOICES SOURCE_HZ SECONDS [shared|distinct]
//
// Each program starts its engine at 48000 Hz stereo, starts VOICES looping
// voices of one second of 16-bit mono at SOURCE_HZ (each from its own point,
// at a level that keeps the sum below full scale), lets them play for
// SECONDS in real time and prints one line:
//
//   engine=NAME resampler=WHAT voices=N sounds=shared playing=M cpu_s=C wall_s=W
//
// With `shared` (the default) every voice plays the same sound, held once
// in the engine's memory, as a game plays one footstep many times at once.
// With `distinct` each voice plays a sound of its own, held in memory of its
// own (MakeSource's `variant`), so the voices read VOICES seconds of samples.
//
// `cpu_s` is the process's user and system time (getrusage, every thread)
// over the play alone, set-up and tear-down left out; `playing` is how many
// voices the engine said were still playing at the end, so that a voice it
// dropped or never started shows.  Exit status 2 on a bad command line, 1
// when the engine does not start.
#pragma once

#include <sys/resource.h>
#include <time.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace engine_run {

constexpr int kOutputRate = 48000;
constexpr int kMaxVoices = 4096;

struct Settings {
  int voices = 0;
  int sourceRate = 0;
  double seconds = 0;
  bool distinct = false;  // one sound for each voice rather than one for all
};

inline bool ParseSettings(int argc, char** argv, Settings* s) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: %s VOICES SOURCE_HZ SECONDS [shared|distinct]\n", argv[0]);
    return false;
  }
  const std::string sounds = argc == 5 ? argv[4] : "shared";
  if (sounds != "shared" && sounds != "distinct") {
    std::fprintf(stderr, "%s: the sounds are 'shared' or 'distinct', not '%s'\n", argv[0], argv[4]);
    return false;
  }
  char* end = nullptr;
  const long voices = std::strtol(argv[1], &end, 10);
  if (*end != '\0' || voices < 0 || voices > kMaxVoices) {
    std::fprintf(stderr, "%s: VOICES must be 0 to %d, not '%s'\n", argv[0], kMaxVoices, argv[1]);
    return false;
  }
  const long rate = std::strtol(argv[2], &end, 10);
  if (*end != '\0' || rate < 8000 || rate > 192000) {
    std::fprintf(stderr, "%s: SOURCE_HZ must be 8000 to 192000, not '%s'\n", argv[0], argv[2]);
    return false;
  }
  const double seconds = std::strtod(argv[3], &end);
  if (*end != '\0' || !(seconds > 0 && seconds <= 600)) {
    std::fprintf(stderr, "%s: SECONDS must be above 0 and at most 600, not '%s'\n", argv[0], argv[3]);
    return false;
  }
  *s = {static_cast<int>(voices), static_cast<int>(rate), seconds, sounds == "distinct"};
  return true;
}

// One second of 16-bit mono at `rate`: three partials below 15 kHz with a
// little noise, so that a resampler has real work and nothing is silent.
// Each variant has its own lowest partial and its own noise.
inline std::vector<std::int16_t> MakeSource(int rate, int variant = 0) {
  std::vector<std::int16_t> samples(static_cast<std::size_t>(rate));
  std::uint32_t noise = 12345u + static_cast<std::uint32_t>(variant) * 7919u;
  const double low = 440.0 + variant;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double t = static_cast<double>(i) / rate;
    noise = noise * 1664525u + 1013904223u;
    const double v = 0.4 * std::sin(2 * M_PI * low * t) + 0.2 * std::sin(2 * M_PI * 3000 * t) +
                     0.1 * std::sin(2 * M_PI * 12000 * t) + 0.05 * (static_cast<double>(noise >> 16) / 32768.0 - 1.0);
    samples[i] = static_cast<std::int16_t>(std::lround(v * 32767 * 0.9));
  }
  return samples;
}

// A level for each voice so that all of them together stay below full
// scale: the mix then never clips, whatever the engine does about clipping.
inline double VoiceLevel(int voices) { return voices > 0 ? 1.0 / voices : 1.0; }

inline double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

inline double WallSeconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Sleeps through the play and measures it.
struct Window {
  double cpu = 0, wall = 0;
};
inline Window Play(double seconds) {
  const double cpu0 = CpuSeconds(), wall0 = WallSeconds();
  const double deadline = wall0 + seconds;
  for (double now = wall0; now < deadline; now = WallSeconds()) {
    const double left = deadline - now;
    timespec nap{static_cast<time_t>(left), static_cast<long>((left - static_cast<double>(static_cast<time_t>(left))) * 1e9)};
    nanosleep(&nap, nullptr);
  }
  return {CpuSeconds() - cpu0, WallSeconds() - wall0};
}

inline void Report(const char* engine, const std::string& resampler, const Settings& s, int playing, const Window& w) {
  // One word a field: the script splits the line at spaces and "=".
  std::string name = resampler;
  for (char& c : name)
    if (c == ' ' || c == '=') c = '_';
  std::printf("engine=%s resampler=%s voices=%d sounds=%s playing=%d cpu_s=%.6f wall_s=%.6f\n", engine,
              name.c_str(), s.voices, s.distinct ? "distinct" : "shared", playing, w.cpu, w.wall);
}

}  // namespace engine_run
