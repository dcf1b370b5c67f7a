#include "play_command_line.h"

#include <cstring>

namespace player {

const char kUsage[] =
    "usage: velmo-play [--loop] [--device NAME] [--effect FILE]... MUSIC.wav\n"
    "       velmo-play --list-devices [--json]\n"
    "\n"
    "Streams MUSIC.wav through the Velmo Sound library and plays each effect once.\n"
    "\n"
    "  --loop         play the music again and again until Ctrl-C (otherwise once)\n"
    "  --effect FILE  also play FILE once, from the start (may be given more than once)\n"
    "  --device NAME  play on the sound device NAME (VELMO_AUDIO_DEVICE), as\n"
    "                 --list-devices prints it; a name no device has exits 2\n"
    "  --list-devices print the sound devices, one a line: the name VELMO_AUDIO_DEVICE\n"
    "                 takes, then a description; the default is marked (default)\n"
    "  --json         with --list-devices, one JSON object a line\n"
    "  -h, --help     show this text\n"
    "\n"
    "VELMO_AUDIO_OUTPUT picks the output: pipewire, pulseaudio, sdl, null, or capture:FILE.wav;\n"
    "unset, pipewire when a PipeWire server answers, pulseaudio when a PulseAudio server\n"
    "answers, otherwise sdl.\n"
    "Exit status: 0 when played (also when stopped by Ctrl-C), 1 when a file cannot be\n"
    "played, 2 on a usage error.\n";

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine result;
  std::vector<std::string> files;
  bool optionsEnded = false;
  bool list = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      files.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "-h" || arg == "--help") {
      result.outcome = CommandLine::Outcome::kHelp;
      return result;
    } else if (arg == "--list-devices") {
      list = true;
    } else if (arg == "--json") {
      result.options.json = true;
    } else if (arg == "--device") {
      if (i + 1 == argc || argv[i + 1][0] == '\0') {
        result.error = "--device needs a device name";
        return result;
      }
      result.options.device = argv[++i];
    } else if (arg == "--loop") {
      result.options.loop = true;
    } else if (arg == "--effect") {
      if (i + 1 == argc) {
        result.error = "--effect needs a file name";
        return result;
      }
      result.options.effects.push_back(argv[++i]);
    } else if (arg.rfind("--effect=", 0) == 0) {
      result.options.effects.push_back(arg.substr(std::strlen("--effect=")));
    } else {
      result.error = "unknown option " + arg;
      return result;
    }
  }
  for (const std::string& effect : result.options.effects) {
    if (effect.empty()) {
      result.error = "--effect needs a file name";
      return result;
    }
  }
  if (list || result.options.json) {
    if (!list || !files.empty() || !result.options.effects.empty() || result.options.loop) {
      result.error = list ? "--list-devices takes no file and no other option but --json"
                          : "--json goes with --list-devices";
      return result;
    }
    result.outcome = CommandLine::Outcome::kListDevices;
    return result;
  }
  if (files.size() != 1) {
    result.error = files.empty() ? "no music file given" : "give one music file, not " + std::to_string(files.size());
    return result;
  }
  result.options.music = files[0];
  result.outcome = CommandLine::Outcome::kPlay;
  return result;
}

}  // namespace player
