// The sample program's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "velmo/platform/audio_settings.h"

namespace velmo {

struct SampleOptions {
  bool headless = false;              // no window: message boxes go to standard error only
  std::optional<std::string> script;  // a script file, or "-" for standard input
  std::optional<std::string> output;  // render into this WAVE file instead of the sound device
  bool nullAudio = false;             // play into the null output
  std::optional<std::uint32_t> outputRate;  // rate of the output, in Hz
  std::optional<std::uint32_t> latencyMs;   // the sound server's queue, in ms
  std::optional<std::string> device;  // the sound device to play on (VELMO_AUDIO_DEVICE)
  bool listDevices = false;           // print the sound devices and exit
  bool json = false;                  // ... one JSON object a line
};

struct CommandLine {
  // Run the program with `options`, or exit at once with `exitCode` after
  // writing `stdoutText` and `stderrText` (help, version, usage errors).
  bool run = false;
  int exitCode = 0;
  std::string stdoutText;
  std::string stderrText;
  SampleOptions options;
};

// Parses the arguments.  Help and version exit with 0; anything the program
// does not know, or options that contradict each other, exit with 2.
CommandLine ParseCommandLine(int argc, const char* const* argv);

// The audio settings the options stand for, for velmo::SetAudioSettings
// before the device starts: the capture output for --output, the null
// output for --null-audio, the rate, latency and device of --output-rate,
// --latency-ms and --device.  Options left out are left at their defaults,
// so that the environment decides them.
AudioSettings AudioSettingsFor(const SampleOptions& options);

// The arguments the window system starts with: the program's name, and
// "-platform offscreen" for --headless.
std::vector<std::string> WindowSystemArguments(const char* program, const SampleOptions& options);

// The one line that tells the user what to do when the sound device did not
// start (after the start-up message box has said what failed): with the
// default output, how to run without a device; with --output, what to check
// about the file; with a device chosen, that it did not open; with a setting
// the library refused (named in a line of its own), only that.  Empty when
// there is nothing to add.
std::string AdviceWhenTheDeviceFailed(const SampleOptions& options);

}  // namespace velmo
