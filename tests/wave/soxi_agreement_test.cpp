// velmo-wav agrees with sox's own reader (soxi) on files that sox writes:
// 8-, 16-, 24- and 32-bit, mono and stereo, 8 to 96 kHz.  The sample bytes'
// CRC-32 is checked against the raw samples that sox extracts.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/wave/wave_test_files.h"

namespace {

using velmo::testing::TempDir;

// Runs a shell command and returns its standard output and exit status.
struct ShellRun {
  std::string out;
  int status;
};
ShellRun Shell(const std::string& command) {
  ShellRun r{{}, -1};
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return r;
  char chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) r.out.append(chunk, got);
  const int status = ::pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

bool HaveSox() { return Shell("command -v sox >/dev/null 2>&1 && command -v soxi >/dev/null 2>&1").status == 0; }

std::vector<long long> Numbers(const std::string& text) {
  std::vector<long long> values;
  std::istringstream in(text);
  long long v = 0;
  while (in >> v) values.push_back(v);
  return values;
}

// The value of a numeric key in one line of velmo-wav's JSON, if present
// and not null.
std::optional<long long> JsonNumber(const std::string& line, const std::string& key) {
  const std::regex pattern("\"" + key + "\":(-?[0-9]+)");
  std::smatch m;
  if (!std::regex_search(line, m, pattern)) return std::nullopt;
  return std::stoll(m[1].str());
}

struct Case {
  int bits;
  int channels;
  int rate;
  std::string path;
};

TEST(SoxiAgreementTest, FormatAndDataSizeMatchSoxForEveryDepthLayoutAndRate) {
  if (!HaveSox()) GTEST_SKIP() << "sox is not installed";
  TempDir dir;
  std::vector<Case> cases;
  for (int bits : {8, 16, 24, 32})
    for (int channels : {1, 2})
      for (int rate : {8000, 11025, 22050, 44100, 48000, 96000}) {
        const std::string path = (dir.Path() / ("t" + std::to_string(bits) + "_" + std::to_string(channels) + "_" +
                                                std::to_string(rate) + ".wav"))
                                     .string();
        // A length that is not a whole number of anything, so the sizes differ.
        const std::string make = "sox -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) + " -b " +
                                 std::to_string(bits) + " '" + path + "' synth 0.0371 sine 440 2>&1";
        ASSERT_EQ(Shell(make).status, 0) << make;
        cases.push_back({bits, channels, rate, path});
      }

  std::string list;
  for (const Case& c : cases) list += " '" + c.path + "'";
  const std::vector<long long> rates = Numbers(Shell("soxi -r" + list).out);
  const std::vector<long long> channels = Numbers(Shell("soxi -c" + list).out);
  const std::vector<long long> bits = Numbers(Shell("soxi -b" + list).out);
  const std::vector<long long> samples = Numbers(Shell("soxi -s" + list).out);
  ASSERT_GE(rates.size(), cases.size());
  ASSERT_GE(channels.size(), cases.size());
  ASSERT_GE(bits.size(), cases.size());
  ASSERT_GE(samples.size(), cases.size());

  const ShellRun info = Shell(std::string("'") + VELMO_WAV_PATH + "' info --json" + list);
  EXPECT_EQ(info.status, 0) << info.out;
  std::vector<std::string> lines;
  std::istringstream in(info.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), cases.size()) << info.out;

  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const std::string& line = lines[i];
    SCOPED_TRACE(line);
    // sox wrote what it was asked, and soxi reads it back so.
    ASSERT_EQ(rates[i], c.rate);
    ASSERT_EQ(channels[i], c.channels);
    ASSERT_EQ(bits[i], c.bits);

    EXPECT_EQ(JsonNumber(line, "result"), 0);
    EXPECT_EQ(JsonNumber(line, "sample_rate"), rates[i]);
    EXPECT_EQ(JsonNumber(line, "channels"), channels[i]);
    EXPECT_EQ(JsonNumber(line, "bits_per_sample"), bits[i]);
    const long long frameBytes = channels[i] * bits[i] / 8;
    EXPECT_EQ(JsonNumber(line, "block_align"), frameBytes);
    EXPECT_EQ(JsonNumber(line, "avg_bytes_per_sec"), rates[i] * frameBytes);
    EXPECT_EQ(JsonNumber(line, "data_bytes"), samples[i] * frameBytes);

    // The samples themselves: sox's raw extraction of the same file.
    const std::string raw = c.path + ".raw";
    ASSERT_EQ(Shell("sox '" + c.path + "' -t raw '" + raw + "' 2>&1").status, 0);
    std::ifstream rawIn(raw, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(rawIn)), std::istreambuf_iterator<char>());
    ASSERT_EQ(static_cast<long long>(bytes.size()), samples[i] * frameBytes);
    const uLong crc = crc32_z(crc32_z(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data()), bytes.size());
    EXPECT_EQ(JsonNumber(line, "data_crc32"), static_cast<long long>(crc));
  }
}

TEST(VelmoWavToolTest, ExitStatusSaysWhetherEveryFileWasReadWhole) {
  TempDir dir;
  const std::string good = dir.Write("good.wav", velmo::testing::PcmWave(velmo::testing::Pattern(40)));
  const std::string bad = dir.Write("bad.wav", velmo::testing::Bytes{'R', 'I', 'F', 'F', 0, 0});
  const std::string tool = std::string("'") + VELMO_WAV_PATH + "'";

  EXPECT_EQ(Shell(tool + " info '" + good + "' >/dev/null").status, 0);
  const ShellRun mixed = Shell(tool + " info --json '" + good + "' '" + bad + "' '" + good + ".missing'");
  EXPECT_EQ(mixed.status, 1);
  std::istringstream in(mixed.out);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u) << mixed.out;
  EXPECT_EQ(JsonNumber(lines[0], "data_bytes"), 40);
  EXPECT_EQ(JsonNumber(lines[0], "data_offset"), 44);
  EXPECT_NE(lines[1].find("\"result_name\":\"MMIOERR_CHUNKNOTFOUND\""), std::string::npos);
  EXPECT_NE(lines[1].find("\"format_tag\":null"), std::string::npos);
  EXPECT_NE(lines[2].find("\"result\":57600"), std::string::npos);
  EXPECT_NE(lines[2].find("\"result_name\":\"WaveErrOpenFailed\""), std::string::npos);

  EXPECT_EQ(Shell(tool + " 2>/dev/null").status, 2);
  EXPECT_EQ(Shell(tool + " info 2>/dev/null").status, 2);
  EXPECT_EQ(Shell(tool + " info --frobnicate x 2>/dev/null").status, 2);
  const ShellRun help = Shell(tool + " info --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--json"), std::string::npos);
}

TEST(VelmoWavToolTest, JsonEscapesOddFileNamesAndChunkIds) {
  TempDir dir;
  // A chunk whose identifier holds a quote, a backslash and a control byte.
  velmo::testing::Bytes body = velmo::testing::PcmFmt();
  velmo::testing::Bytes odd = {'"', '\\', 0x01, 0xE9, 0, 0, 0, 0};
  velmo::testing::Append(body, odd);
  velmo::testing::Append(body, velmo::testing::Chunk("data", velmo::testing::Pattern(2)));
  const std::string path = dir.Write("a \"quoted\"\tname\xff.wav", velmo::testing::Riff(body));
  const ShellRun run = Shell(std::string("'") + VELMO_WAV_PATH + "' info --json '" + path + "'");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("a \\\"quoted\\\"\\u0009name\\ufffd.wav\""), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("{\"id\":\"\\\"\\\\\\u0001\\u00e9\""), std::string::npos) << run.out;
  // When Python is at hand, it must parse the line as JSON.
  if (Shell("command -v python3 >/dev/null 2>&1").status == 0) {
    const std::string out = dir.Path().string() + "/out.json";
    std::ofstream(out) << run.out;
    EXPECT_EQ(Shell("python3 -c 'import json,sys; [json.loads(l) for l in open(sys.argv[1])]' '" + out + "'").status, 0);
  }
}

}  // namespace
