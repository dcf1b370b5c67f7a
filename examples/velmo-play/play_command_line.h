// The command line of velmo-play:
//   velmo-play [--loop] [--device NAME] [--effect FILE]... MUSIC.wav
//   velmo-play --list-devices [--json]
#pragma once

#include <string>
#include <vector>

namespace player {

struct PlayOptions {
  bool loop = false;                 // play the music again and again until Ctrl-C
  std::vector<std::string> effects;  // played once each, from the start
  std::string music;
  std::string device;                // --device: the sound device to play on
  bool json = false;                 // --list-devices: one JSON object a line
};

struct CommandLine {
  enum class Outcome { kPlay, kListDevices, kHelp, kUsageError };
  Outcome outcome = Outcome::kUsageError;
  PlayOptions options;
  std::string error;  // what is wrong, for kUsageError
};

CommandLine ParseCommandLine(int argc, const char* const* argv);

// The help text, ending in a newline.
extern const char kUsage[];

}  // namespace player
