// What the output plays on now, for a program to show (an options menu, a
// status line).  The library never calls into the program about it from its
// threads: the program asks, each frame or from a timer, and each answer is
// a copy taken under a lock, cheap enough for that.
#pragma once

#include <cstdint>
#include <string>

namespace velmo {

struct AudioOutputState {
  // "pipewire", "pulseaudio", "sdl", "null" or "capture"; empty while no device plays
  // (before InitDSound, after CloseDSound, or when it did not start).
  std::string output;
  // The device chosen by name (AudioSettings::device, VELMO_AUDIO_DEVICE);
  // empty when none was, and always for null and capture.
  std::string device;
  // Whether the sound goes to the output's default device: none was chosen,
  // or the chosen one went away and the default plays until it is back.
  bool onDefaultDevice = true;
  // Whether the sound reaches the sound server (or the file) now: false
  // from the moment the output is lost (its server gone, stopped, or its
  // device removed) until it plays again.  Meanwhile the library keeps time
  // as if the sound were heard.
  bool connected = false;
  // The latency the output runs at now, in milliseconds: the sdl output's
  // queue at the server; the pulseaudio output's target length (its queue
  // and the sink's latency together); the pipewire output's cycle, which follows the
  // graph when another program makes it shorter or longer; the null and
  // capture outputs' period.  0 while no device plays.
  double latencyMs = 0;
  std::uint32_t rate = 0;  // the mixer's rate, in Hz; 0 while no device plays
};

// The state of the output of the device started last (InitDSound).  May be
// called from any thread at any time.
AudioOutputState GetAudioOutputState();

}  // namespace velmo
