// The sample program's options.
#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace velmo {
namespace {

CommandLine Parse(std::initializer_list<const char*> args) {
  std::vector<const char*> argv = {"velmo-sample"};
  argv.insert(argv.end(), args);
  return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(SampleCommandLine, NoArgumentsRunsTheWindowOnTheDefaultOutput) {
  const CommandLine c = Parse({});
  EXPECT_TRUE(c.run);
  EXPECT_FALSE(c.options.headless);
  EXPECT_FALSE(c.options.script);
  EXPECT_FALSE(c.options.output);
  EXPECT_FALSE(c.options.nullAudio);
}

TEST(SampleCommandLine, EveryOptionIsRead) {
  const CommandLine c = Parse({"--headless", "--script", "demo.txt", "--output=out.wav"});
  ASSERT_TRUE(c.run) << c.stderrText;
  EXPECT_TRUE(c.options.headless);
  EXPECT_EQ(c.options.script, "demo.txt");
  EXPECT_EQ(c.options.output, "out.wav");

  const CommandLine fromStdin = Parse({"--script", "-", "--null-audio"});
  ASSERT_TRUE(fromStdin.run) << fromStdin.stderrText;
  EXPECT_EQ(fromStdin.options.script, "-");
  EXPECT_TRUE(fromStdin.options.nullAudio);
}

TEST(SampleCommandLine, HelpAndVersionExitWithZeroOnStandardOutput) {
  for (const char* flag : {"--help", "-h"}) {
    const CommandLine help = Parse({flag});
    EXPECT_FALSE(help.run);
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option : {"--headless", "--script", "--output", "--null-audio", "--version", "VELMO_AUDIO_OUTPUT"})
      EXPECT_NE(help.stdoutText.find(option), std::string::npos) << option;
    EXPECT_TRUE(help.stderrText.empty());
  }
  const CommandLine version = Parse({"--version"});
  EXPECT_FALSE(version.run);
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.stdoutText.rfind("velmo-sample ", 0), 0u) << version.stdoutText;
}

TEST(SampleCommandLine, AnythingElseIsAUsageErrorWithStatusTwo) {
  for (auto args : {std::vector<const char*>{"--bogus"}, {"file.wav"}, {"--script"}, {"--output"},
                    {"--output", "a.wav", "--null-audio"}, {"--script", ""}, {"--output", ""},
                    {"--output-rate", "7999"}, {"--output-rate", "fast"}, {"--latency-ms", "4"},
                    {"--latency-ms", "501"}, {"--latency-ms", "soon"}}) {
    std::vector<const char*> argv = {"velmo-sample"};
    argv.insert(argv.end(), args.begin(), args.end());
    const CommandLine c = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_FALSE(c.run) << args[0];
    EXPECT_EQ(c.exitCode, 2) << args[0];
    EXPECT_EQ(c.stderrText.rfind("velmo-sample: ", 0), 0u) << c.stderrText;
    EXPECT_TRUE(c.stdoutText.empty());
  }
}

// The options reach the library as settings and the window system as its
// arguments, never through the environment the user set.
TEST(SampleCommandLine, OutputsAndHeadlessAreHandedOnAsSettingsAndArguments) {
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  SampleOptions capture;
  capture.output = "renders/out.wav";
  AudioSettings settings = AudioSettingsFor(capture);
  EXPECT_EQ(settings.output, AudioOutputChoice::kCapture);
  EXPECT_EQ(settings.capturePath, "renders/out.wav");
  EXPECT_EQ(WindowSystemArguments("velmo-sample", capture), std::vector<std::string>{"velmo-sample"});

  SampleOptions silent;
  silent.nullAudio = true;
  silent.headless = true;
  settings = AudioSettingsFor(silent);
  EXPECT_EQ(settings.output, AudioOutputChoice::kNull);
  EXPECT_TRUE(settings.capturePath.empty());
  // Qt takes -platform over QT_QPA_PLATFORM: --headless runs offscreen
  // whatever the variable says, as it always has.
  EXPECT_EQ(WindowSystemArguments("velmo-sample", silent),
            (std::vector<std::string>{"velmo-sample", "-platform", "offscreen"}));
  EXPECT_STREQ(std::getenv("QT_QPA_PLATFORM"), "xcb");

  const CommandLine chosen = Parse({"--latency-ms", "20", "--output-rate", "48000", "--device", "Speakers"});
  ASSERT_TRUE(chosen.run) << chosen.stderrText;
  settings = AudioSettingsFor(chosen.options);
  EXPECT_EQ(settings.latencyMs, 20u);
  EXPECT_EQ(settings.rate, 48000u);
  EXPECT_EQ(settings.device, "Speakers");
  EXPECT_EQ(settings.output, AudioOutputChoice::kDefault);
  EXPECT_EQ(SetAudioSettings(settings, AudioSettingsPriority::kOverEnvironment), "");

  // Without an option the variable the user set stays in charge; with one,
  // the option wins.
  ::setenv("VELMO_AUDIO_OUTPUT", "null", 1);
  ::setenv("VELMO_AUDIO_DEVICE", "Headphones", 1);
  AudioSettings effective;
  ASSERT_TRUE(EffectiveAudioSettings(&effective));
  EXPECT_EQ(effective.output, AudioOutputChoice::kNull);
  EXPECT_EQ(effective.device, "Speakers");
  EXPECT_EQ(effective.latencyMs, 20u);
  ::unsetenv("VELMO_AUDIO_OUTPUT");
  ::unsetenv("VELMO_AUDIO_DEVICE");
  ::unsetenv("QT_QPA_PLATFORM");
  EXPECT_EQ(SetAudioSettings({}), "");
}

}  // namespace
}  // namespace velmo
