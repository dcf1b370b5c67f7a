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

TEST(SampleCommandLine, OutputsAndHeadlessAreHandedOnThroughTheEnvironment) {
  ::unsetenv("VELMO_AUDIO_OUTPUT");
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  SampleOptions capture;
  capture.output = "renders/out.wav";
  ApplyEnvironment(capture);
  EXPECT_STREQ(std::getenv("VELMO_AUDIO_OUTPUT"), "capture:renders/out.wav");
  EXPECT_STREQ(std::getenv("QT_QPA_PLATFORM"), "xcb");

  SampleOptions silent;
  silent.nullAudio = true;
  silent.headless = true;
  ApplyEnvironment(silent);
  EXPECT_STREQ(std::getenv("VELMO_AUDIO_OUTPUT"), "null");
  EXPECT_STREQ(std::getenv("QT_QPA_PLATFORM"), "offscreen");

  SampleOptions rate;
  rate.outputRate = 48000;
  ApplyEnvironment(rate);
  EXPECT_STREQ(std::getenv("VELMO_OUTPUT_RATE"), "48000");
  ::unsetenv("VELMO_OUTPUT_RATE");

  const CommandLine latency = Parse({"--latency-ms", "20"});
  ASSERT_TRUE(latency.run) << latency.stderrText;
  ApplyEnvironment(latency.options);
  EXPECT_STREQ(std::getenv("VELMO_LATENCY_MS"), "20");
  ::unsetenv("VELMO_LATENCY_MS");

  // Without either option the variable the user set stays in charge.
  ::setenv("VELMO_AUDIO_OUTPUT", "sdl", 1);
  ApplyEnvironment(SampleOptions{});
  EXPECT_STREQ(std::getenv("VELMO_AUDIO_OUTPUT"), "sdl");
  ::unsetenv("VELMO_AUDIO_OUTPUT");
  ::unsetenv("QT_QPA_PLATFORM");
}

}  // namespace
}  // namespace velmo
