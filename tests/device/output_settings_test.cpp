// Where the sound goes, chosen in code: the settings a program makes, the
// environment's variables in their place, the lines about bad values
// through the diagnostics sink, and the state the device publishes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/audio/device/software_device.h"
#include "platform/audio/outputs/output_settings.h"
#include "velmo/platform/audio_output_state.h"
#include "velmo/platform/audio_settings.h"
#include "velmo/platform/diagnostics.h"

namespace velmo::testing {
namespace {

class Lines final : public DiagnosticsSink {
 public:
  void Write(const char* line) override { lines.push_back(line); }
  std::vector<std::string> lines;
};

OutputSettings Resolve(const AudioSettings& program, AudioSettingsPriority priority,
                       const std::map<std::string, std::string>& environment) {
  return ResolveOutputSettings(program, priority, [&](const char* name) -> const char* {
    const auto found = environment.find(name);
    return found == environment.end() ? nullptr : found->second.c_str();
  });
}

AudioSettings Chosen() {
  AudioSettings program;
  program.output = AudioOutputChoice::kCapture;
  program.capturePath = "game.wav";
  program.device = "Speakers";
  program.latencyMs = 40;
  program.rate = 22050;
  return program;
}

TEST(OutputSettings, AVariableTheUserSetWinsUnlessTheProgramOverridesIt) {
  // Nothing set: the program's settings as they are.
  OutputSettings s = Resolve(Chosen(), AudioSettingsPriority::kBelowEnvironment, {{"VELMO_AUDIO_DEVICE", ""}});
  EXPECT_TRUE(s.valid);
  EXPECT_EQ(s.choice.kind, OutputKind::kCapture);
  EXPECT_EQ(s.choice.capturePath, "game.wav");
  EXPECT_EQ(s.device, "Speakers");
  EXPECT_EQ(s.latencyMs, 40u);
  EXPECT_EQ(s.rate, 22050u);

  const std::map<std::string, std::string> user = {{"VELMO_AUDIO_OUTPUT", "null"},
                                                   {"VELMO_AUDIO_DEVICE", "Headphones"},
                                                   {"VELMO_LATENCY_MS", "10"},
                                                   {"VELMO_OUTPUT_RATE", "44100"}};
  s = Resolve(Chosen(), AudioSettingsPriority::kBelowEnvironment, user);
  EXPECT_TRUE(s.valid);
  EXPECT_EQ(s.choice.kind, OutputKind::kNull);
  EXPECT_EQ(s.device, "Headphones");
  EXPECT_EQ(s.latencyMs, 10u);
  EXPECT_EQ(s.rate, 44100u);

  // Overriding: each field the program set wins; one it left at its
  // default is still the variable's.
  AudioSettings partly;
  partly.device = "Speakers";
  s = Resolve(partly, AudioSettingsPriority::kOverEnvironment, user);
  EXPECT_TRUE(s.valid);
  EXPECT_EQ(s.device, "Speakers");
  EXPECT_EQ(s.choice.kind, OutputKind::kNull);
  EXPECT_EQ(s.latencyMs, 10u);
  EXPECT_EQ(s.rate, 44100u);
  s = Resolve(Chosen(), AudioSettingsPriority::kOverEnvironment, user);
  EXPECT_EQ(s.choice.kind, OutputKind::kCapture);
  EXPECT_EQ(s.latencyMs, 40u);
  EXPECT_EQ(s.rate, 22050u);
}

TEST(OutputSettings, EveryBadVariableIsNamedThroughTheSinkAndNothingStarts) {
  Lines sink;
  {
    ScopedDiagnosticsSink installed(sink);
    const OutputSettings s = Resolve(Chosen(), AudioSettingsPriority::kBelowEnvironment,
                                     {{"VELMO_AUDIO_OUTPUT", "speakers-1"},
                                      {"VELMO_AUDIO_DEVICE", "a\tb-1"},
                                      {"VELMO_LATENCY_MS", "1000"},
                                      {"VELMO_OUTPUT_RATE", "fast-1"}});
    EXPECT_FALSE(s.valid);
    // A variable the program overrides is not the user's choice any more,
    // and not named.
    EXPECT_TRUE(Resolve(Chosen(), AudioSettingsPriority::kOverEnvironment, {{"VELMO_LATENCY_MS", "3"}}).valid);
  }
  EXPECT_EQ(sink.lines, (std::vector<std::string>{
                            "velmo: VELMO_AUDIO_OUTPUT=speakers-1 is not accepted; it takes sdl, pipewire, pulseaudio, null "
                            "or capture:PATH, or nothing for the default",
                            "velmo: VELMO_OUTPUT_RATE=fast-1 is not accepted; it takes a whole number of hertz from "
                            "8000 to 192000, or nothing for the output's own rate",
                            "velmo: VELMO_LATENCY_MS=1000 is not accepted; it takes a whole number of milliseconds "
                            "from 5 to 500, or nothing for the output's own",
                            "velmo: VELMO_AUDIO_DEVICE=a\\x09b-1 is not accepted; it takes a device name as "
                            "--list-devices prints it (up to 255 bytes, no control characters), or nothing for the "
                            "default device"}));
  // Uninstalled, the sink hears nothing more.
  Resolve({}, AudioSettingsPriority::kBelowEnvironment, {{"VELMO_LATENCY_MS", "2"}});
  EXPECT_EQ(sink.lines.size(), 4u);
}

TEST(OutputSettings, ABadValueIsRefusedWithItsReasonAndChangesNothing) {
  ::unsetenv("VELMO_AUDIO_OUTPUT");
  ASSERT_EQ(SetAudioSettings(Chosen()), "");
  struct Case {
    AudioSettings settings;
    std::string reason;
  };
  std::vector<Case> cases;
  AudioSettings bad;
  bad.latencyMs = 3;
  cases.push_back({bad, "latencyMs=3 is not accepted; it takes a whole number of milliseconds from 5 to 500, or 0 "
                        "for the output's own"});
  bad = {};
  bad.rate = 192001;
  cases.push_back({bad, "rate=192001 is not accepted; it takes a whole number of hertz from 8000 to 192000, or 0 "
                        "for the output's own rate"});
  bad = {};
  bad.device = "line\nbreak";
  cases.push_back({bad, "device=line\\x0abreak is not accepted; it takes a device name as ListAudioDevices gives "
                        "it (up to 255 bytes, no control characters), or nothing for the default device"});
  bad.device = std::string(256, 'd');
  cases.push_back({bad, "device=" + bad.device + " is not accepted; it takes a device name as ListAudioDevices "
                        "gives it (up to 255 bytes, no control characters), or nothing for the default device"});
  bad.device = std::string("nul\0byte", 8);
  cases.push_back({bad, "device=nul\\x00byte is not accepted; it takes a device name as ListAudioDevices gives it "
                        "(up to 255 bytes, no control characters), or nothing for the default device"});
  bad = {};
  bad.output = AudioOutputChoice::kCapture;
  cases.push_back({bad, "capturePath= is not accepted; it takes the path of the WAVE file to write, with the "
                        "capture output"});
  bad.output = AudioOutputChoice::kNull;
  bad.capturePath = "x.wav";
  cases.push_back({bad, "capturePath=x.wav is not accepted; it takes nothing unless the output is capture"});
  for (const Case& c : cases) EXPECT_EQ(SetAudioSettings(c.settings), c.reason);

  AudioSettings effective;
  ASSERT_TRUE(EffectiveAudioSettings(&effective));
  EXPECT_EQ(effective.output, AudioOutputChoice::kCapture);
  EXPECT_EQ(effective.capturePath, "game.wav");
  EXPECT_EQ(effective.device, "Speakers");
  EXPECT_EQ(effective.latencyMs, 40u);
  EXPECT_EQ(SetAudioSettings({}), "");
}

// The output a device opens comes from the settings, the environment
// winning; its state is there to read while it plays, and gone after.
TEST(OutputSettings, TheDeviceOpensTheOutputChosenAndPublishesItsState) {
  ::unsetenv("VELMO_AUDIO_OUTPUT");
  AudioSettings program;
  program.output = AudioOutputChoice::kNull;
  program.rate = 32000;
  ASSERT_EQ(SetAudioSettings(program), "");
  EXPECT_EQ(GetAudioOutputState().output, "");

  IDirectSound* device = CreateAudioDevice();
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(device->Initialize(nullptr), DS_OK);
  AudioOutputState state = GetAudioOutputState();
  EXPECT_EQ(state.output, "null");
  EXPECT_EQ(state.rate, 32000u);
  EXPECT_TRUE(state.connected);
  EXPECT_TRUE(state.onDefaultDevice);
  EXPECT_TRUE(state.device.empty());
  EXPECT_DOUBLE_EQ(state.latencyMs, 1000.0 * 512 / 32000);
  device->Release();
  EXPECT_EQ(GetAudioOutputState().output, "");

  // The user's variable sends it into a file instead.
  const std::string path = std::string("/tmp/velmo-settings-") + std::to_string(::getpid()) + ".wav";
  ::setenv("VELMO_AUDIO_OUTPUT", ("capture:" + path).c_str(), 1);
  device = CreateAudioDevice();
  ASSERT_EQ(device->Initialize(nullptr), DS_OK);
  state = GetAudioOutputState();
  EXPECT_EQ(state.output, "capture");
  EXPECT_EQ(state.rate, 32000u);
  device->Release();
  EXPECT_EQ(::access(path.c_str(), F_OK), 0);
  ::unlink(path.c_str());

  ::setenv("VELMO_AUDIO_OUTPUT", "null", 1);
  ASSERT_EQ(SetAudioSettings({}), "");
}

}  // namespace
}  // namespace velmo::testing
