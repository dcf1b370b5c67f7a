// The capture output end to end: a known buffer played for two seconds of
// real time through VELMO_AUDIO_OUTPUT=capture:PATH gives a WAVE file that
// sox reads, of about that length, holding the buffer's samples.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/audio/device/software_device.h"
#include "platform/audio/outputs/wave_file_writer.h"
#include "tests/device/device_test_support.h"

namespace velmo::testing {
namespace {

std::string TempPath(const char* name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/velmo-" + std::to_string(::getpid()) + "-" + name;
}

std::string RunCommand(const std::string& command) {
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) output += line;
    ::pclose(pipe);
  }
  return output;
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(CaptureOutput, TwoSecondsOfAKnownBufferBecomeAPlayableFile) {
  const std::string path = TempPath("capture.wav");
  ::setenv("VELMO_AUDIO_OUTPUT", ("capture:" + path).c_str(), 1);
  IDirectSound* device = CreateAudioDevice();
  ASSERT_EQ(device->Initialize(nullptr), DS_OK);
  // A 441-frame stereo pattern at the capture rate loops without conversion,
  // so every frame of the file is one of the pattern's, in order.
  constexpr std::size_t kPattern = 441;
  const auto pattern = Ramp(2 * kPattern, 100, 97);
  WAVEFORMATEX format = PcmFormat(2, 44100, 16);
  DSBUFFERDESC desc = Description(&format, kPattern * 4);
  IDirectSoundBuffer* buffer = nullptr;
  ASSERT_EQ(device->CreateSoundBuffer(&desc, &buffer, nullptr), DS_OK);
  Write(buffer, 0, pattern.data(), kPattern * 4);
  ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  const auto started = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  // While it plays the file is already valid.
  const double sofar = std::atof(RunCommand("soxi -D '" + path + "' 2>/dev/null").c_str());
  EXPECT_GT(sofar, 1.5);
  buffer->Release();
  ASSERT_EQ(device->Release(), 0u);
  const double played = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  ::setenv("VELMO_AUDIO_OUTPUT", "null", 1);

  EXPECT_EQ(RunCommand("soxi -r '" + path + "'"), "44100\n");
  EXPECT_EQ(RunCommand("soxi -c '" + path + "'"), "2\n");
  EXPECT_EQ(RunCommand("soxi -b '" + path + "'"), "16\n");
  const double seconds = std::atof(RunCommand("soxi -D '" + path + "'").c_str());
  // Paced in real time: about as long as the device played, which is the
  // two seconds slept and however long the checks above took on a busy
  // machine.
  EXPECT_GT(seconds, 1.75);
  EXPECT_LT(seconds, played + 0.25);

  const auto file = ReadFile(path);
  ASSERT_GT(file.size(), 44u);
  const std::size_t frames = (file.size() - 44) / 4;
  EXPECT_NEAR(static_cast<double>(frames), seconds * 44100, 1.0);
  // The mix of a loop that began within the first period: find where the
  // pattern starts, then every later frame follows it.
  std::size_t start = 0;
  auto sampleAt = [&](std::size_t i) {
    return static_cast<std::int16_t>(file[44 + 2 * i] | (file[45 + 2 * i] << 8));
  };
  while (start < frames && sampleAt(2 * start) != pattern[0]) ++start;
  ASSERT_LT(start, 441u * 4) << "the pattern never starts";
  for (std::size_t f = start; f < frames; ++f) {
    ASSERT_EQ(sampleAt(2 * f), pattern[2 * ((f - start) % kPattern)]) << "frame " << f;
    ASSERT_EQ(sampleAt(2 * f + 1), pattern[2 * ((f - start) % kPattern) + 1]) << "frame " << f;
  }
  std::remove(path.c_str());
}

TEST(WaveFileWriter, HeaderDescribesWhatIsWrittenAtEveryStep) {
  const std::string path = TempPath("writer.wav");
  WaveFileWriter writer;
  ASSERT_TRUE(writer.Open(path, 44100));
  EXPECT_EQ(RunCommand("soxi -s '" + path + "'"), "0\n");
  const std::int16_t frames[6] = {1, -1, 2, -2, 3, -3};
  ASSERT_TRUE(writer.Append(frames, 3));
  // Without closing, as if the process were killed now.
  EXPECT_EQ(RunCommand("soxi -s '" + path + "'"), "3\n");
  ASSERT_TRUE(writer.Append(frames, 2));
  EXPECT_EQ(RunCommand("soxi -s '" + path + "'"), "5\n");
  writer.Close();
  const auto file = ReadFile(path);
  ASSERT_EQ(file.size(), 44u + 20u);
  EXPECT_EQ(file[44 + 4 * 3], 1);  // the second append starts with frame 0 again
  std::remove(path.c_str());
  EXPECT_FALSE(writer.Open("/nonexistent-directory/x.wav", 44100));
}

// A full disk, made with a file size limit in a child process: the append
// that does not fit is taken back whole, and the file stays a valid WAVE
// file whose data is exactly the appends that succeeded, the next of which
// follows straight on.
TEST(WaveFileWriter, AFailedAppendLeavesNoStrayBytesInTheData) {
  const std::string path = TempPath("full.wav");
  std::vector<std::int16_t> first(2 * 600), second(2 * 600, 7), third(2 * 300);
  for (std::size_t i = 0; i < first.size(); ++i) first[i] = static_cast<std::int16_t>(i);
  for (std::size_t i = 0; i < third.size(); ++i) third[i] = static_cast<std::int16_t>(-1 - static_cast<int>(i));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{44 + 4 * 1000 + 2, 44 + 4 * 1000 + 2};  // the second append ends short
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(10);
    WaveFileWriter writer;
    if (!writer.Open(path, 44100) || !writer.Append(first.data(), 600)) ::_exit(11);
    if (writer.Append(second.data(), 600)) ::_exit(12);
    if (!writer.Append(third.data(), 300)) ::_exit(13);
    writer.Close();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "10: no limit, 11: first append, 12: the short append succeeded, 13: third";

  const auto file = ReadFile(path);
  ASSERT_EQ(file.size(), 44u + 4 * 900);
  EXPECT_EQ(RunCommand("soxi -s '" + path + "'"), "900\n");
  auto sampleAt = [&](std::size_t i) { return static_cast<std::int16_t>(file[44 + 2 * i] | (file[45 + 2 * i] << 8)); };
  for (std::size_t i = 0; i < first.size(); ++i) ASSERT_EQ(sampleAt(i), first[i]) << i;
  for (std::size_t i = 0; i < third.size(); ++i) ASSERT_EQ(sampleAt(first.size() + i), third[i]) << i;
  std::remove(path.c_str());
}

}  // namespace
}  // namespace velmo::testing
