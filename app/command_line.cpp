#include "app/command_line.h"

#include <CLI/CLI.hpp>
#include <sstream>

#ifndef VELMO_VERSION
#define VELMO_VERSION "unknown"
#endif

namespace velmo {

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine result;
  CLI::App app{
      "Velmo Sound Library sample program: a window with two music buttons, a stop button and three\n"
      "effect buttons.  It opens sfx1.wav, sfx2.wav, sfx3.wav, bgm1.wav and bgm2.wav in the current\n"
      "directory (velmo-make-samples DIR writes a set).",
      "velmo-sample"};
  app.set_version_flag("--version", std::string("velmo-sample ") + VELMO_VERSION);
  app.add_flag("--headless", result.options.headless,
               "Run without a window or display; message boxes are written to standard error only");
  app.add_option("--script", result.options.script,
                 "Run a script (FILE, or - for standard input): press NAME|CAPTION, wait MS, close; # comments")
      ->type_name("FILE");
  auto* output = app.add_option("--output", result.options.output,
                                "Render the sound into FILE.wav instead of the sound device "
                                "(VELMO_AUDIO_OUTPUT=capture:FILE)")
                     ->type_name("FILE.wav");
  auto* null = app.add_flag("--null-audio", result.options.nullAudio,
                            "Play into the null output (VELMO_AUDIO_OUTPUT=null)");
  output->excludes(null);
  app.add_option("--output-rate", result.options.outputRate,
                 "Run the output at HZ: the rate of --output's file and of the null output, and the rate asked "
                 "of the sound device (VELMO_OUTPUT_RATE; defaults 44100, 48000, 48000)")
      ->type_name("HZ")
      ->check(CLI::Range(8000u, 192000u));
  app.add_option("--latency-ms", result.options.latencyMs,
                 "Ask the sound server to hold MS milliseconds of sound (5 to 500): a new sound is heard about "
                 "that much later; less breaks up sooner on a busy machine (VELMO_LATENCY_MS; default 5 on "
                 "pipewire, 20 on pulseaudio, 16 on sdl)")
      ->type_name("MS")
      ->check(CLI::Range(5u, 500u));
  app.add_option("--device", result.options.device,
                 "Play on the sound device NAME, as --list-devices prints it (VELMO_AUDIO_DEVICE)")
      ->type_name("NAME");
  auto* list = app.add_flag("--list-devices", result.options.listDevices,
                            "Print the sound devices of the output, one a line: the name VELMO_AUDIO_DEVICE takes, "
                            "then a description; the default is marked (default)");
  app.add_flag("--json", result.options.json, "With --list-devices, print one JSON object a line")->needs(list);
  app.footer(
      "Without --output or --null-audio the output is the one VELMO_AUDIO_OUTPUT names: pipewire,\n"
      "pulseaudio, sdl, null, or capture:PATH (a WAVE file); unset, pipewire when a PipeWire server\n"
      "answers, pulseaudio when a PulseAudio server answers, otherwise sdl.  VELMO_OUTPUT_RATE sets its rate as --output-rate does, VELMO_LATENCY_MS the\n"
      "sound device's latency as --latency-ms does.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    result.stdoutText = app.help();
    return result;
  } catch (const CLI::CallForAllHelp&) {
    result.stdoutText = app.help("", CLI::AppFormatMode::All);
    return result;
  } catch (const CLI::CallForVersion& e) {
    result.stdoutText = std::string(e.what()) + "\n";
    return result;
  } catch (const CLI::ParseError& e) {
    std::ostringstream err;
    err << "velmo-sample: " << e.what() << "\n" << "Run with --help for more information.\n";
    result.stderrText = err.str();
    result.exitCode = 2;
    return result;
  }
  if (result.options.script && result.options.script->empty()) {
    result.stderrText = "velmo-sample: --script needs a file name, or - for standard input\n";
    result.exitCode = 2;
    return result;
  }
  if (result.options.output && result.options.output->empty()) {
    result.stderrText = "velmo-sample: --output needs a file name\n";
    result.exitCode = 2;
    return result;
  }
  result.run = true;
  return result;
}

AudioSettings AudioSettingsFor(const SampleOptions& options) {
  AudioSettings settings;
  if (options.output) {
    settings.output = AudioOutputChoice::kCapture;
    settings.capturePath = *options.output;
  }
  if (options.nullAudio) settings.output = AudioOutputChoice::kNull;
  if (options.outputRate) settings.rate = *options.outputRate;
  if (options.latencyMs) settings.latencyMs = *options.latencyMs;
  if (options.device) settings.device = *options.device;
  return settings;
}

std::vector<std::string> WindowSystemArguments(const char* program, const SampleOptions& options) {
  std::vector<std::string> arguments = {program != nullptr ? program : "velmo-sample"};
  // Qt takes -platform over QT_QPA_PLATFORM, so --headless runs offscreen
  // whatever the variable says; without it the variable rules as usual.
  if (options.headless) arguments.insert(arguments.end(), {"-platform", "offscreen"});
  return arguments;
}

std::string AdviceWhenTheDeviceFailed(const SampleOptions& options) {
  if (options.nullAudio) return {};
  if (options.output)
    return "velmo-sample: the sound could not be written to " + *options.output +
           "; check that its folder exists and may be written to";
  // A setting the library did not accept has been named in its own line;
  // the device was never tried.
  AudioSettings effective;
  if (!EffectiveAudioSettings(&effective))
    return "velmo-sample: a sound setting is not accepted (see above), so nothing will be heard";
  if (!effective.device.empty())
    return "velmo-sample: the sound device " + effective.device +
           " could not be opened, so nothing will be heard; --list-devices names the devices there are";
  return "velmo-sample: no sound device could be opened, so nothing will be heard; "
         "--null-audio runs without one, --output FILE.wav writes the sound into a file, "
         "and --list-devices names the devices there are";
}

}  // namespace velmo
