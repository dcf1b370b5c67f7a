// The demo sounds and the WAVE writer behind velmo-make-samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <vector>

#include "tools/demo_sounds.h"
#include "tools/pcm_wave_writer.h"

namespace velmo::tools {
namespace {

std::uint32_t Read32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::uint16_t Read16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

class DemoSounds : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sounds_ = new std::vector<DemoSound>(SynthesizeDemoSounds()); }
  static void TearDownTestSuite() { delete sounds_; }
  static const DemoSound& Sound(int i) { return (*sounds_)[i]; }

  static double Seconds(const DemoSound& s) {
    return static_cast<double>(s.samples.size()) / s.format.channels / s.format.sampleRate;
  }

  // Zero crossings a second of the first channel: a rough pitch measure.
  static double CrossingRate(const DemoSound& s) {
    int crossings = 0;
    for (std::size_t i = s.format.channels; i < s.samples.size(); i += s.format.channels)
      if ((s.samples[i - s.format.channels] < 0) != (s.samples[i] < 0)) ++crossings;
    return crossings / Seconds(s);
  }

  static std::vector<DemoSound>* sounds_;
};

std::vector<DemoSound>* DemoSounds::sounds_ = nullptr;

TEST_F(DemoSounds, AreTheFiveFilesTheProgramOpensInTheirFormats) {
  ASSERT_EQ(sounds_->size(), 5u);
  const char* names[] = {"sfx1.wav", "sfx2.wav", "sfx3.wav", "bgm1.wav", "bgm2.wav"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Sound(i).fileName, names[i]);
  EXPECT_EQ(Sound(3).format.sampleRate, 44100u);
  EXPECT_EQ(Sound(3).format.bitsPerSample, 16);
  EXPECT_EQ(Sound(3).format.channels, 2);
  EXPECT_EQ(Sound(4).format.sampleRate, 22050u);
  EXPECT_EQ(Sound(4).format.bitsPerSample, 8);
  EXPECT_EQ(Sound(4).format.channels, 1);
  for (const DemoSound& s : *sounds_) EXPECT_EQ(s.samples.size() % s.format.channels, 0u) << s.fileName;
}

TEST_F(DemoSounds, EffectsAreShortAndMusicIsTenToThirtySeconds) {
  for (int i = 0; i < 3; ++i) {
    EXPECT_GT(Seconds(Sound(i)), 0.1) << Sound(i).fileName;
    EXPECT_LT(Seconds(Sound(i)), 1.0) << Sound(i).fileName;
  }
  for (int i = 3; i < 5; ++i) {
    EXPECT_GE(Seconds(Sound(i)), 10.0) << Sound(i).fileName;
    EXPECT_LE(Seconds(Sound(i)), 30.0) << Sound(i).fileName;
  }
}

TEST_F(DemoSounds, AreAudibleWithHeadroomForMixing) {
  for (const DemoSound& s : *sounds_) {
    float peak = 0;
    double energy = 0;
    for (float v : s.samples) {
      peak = std::max(peak, std::fabs(v));
      energy += static_cast<double>(v) * v;
    }
    const double rms = std::sqrt(energy / s.samples.size());
    EXPECT_GT(rms, 0.03) << s.fileName;
    // Music and one effect at their peaks together stay within full scale.
    EXPECT_LE(peak, s.fileName.rfind("bgm", 0) == 0 ? 0.45f + 1e-4f : 0.55f + 1e-4f) << s.fileName;
  }
}

TEST_F(DemoSounds, EffectsStartAndEndWithoutAStep) {
  for (int i = 0; i < 3; ++i) {
    const DemoSound& s = Sound(i);
    for (int c = 0; c < s.format.channels; ++c) {
      EXPECT_LT(std::fabs(s.samples[c]), 0.01f) << s.fileName;
      EXPECT_LT(std::fabs(s.samples[s.samples.size() - s.format.channels + c]), 0.01f) << s.fileName;
    }
  }
}

// Played over and over, the last sample meets the first.  The step there
// must be no bigger than the steps the music takes anyway: at most the
// 99.9th percentile of its sample-to-sample differences.
TEST_F(DemoSounds, MusicLoopsWithoutAClick) {
  for (int i = 3; i < 5; ++i) {
    const DemoSound& s = Sound(i);
    const int ch = s.format.channels;
    const std::size_t frames = s.samples.size() / ch;
    for (int c = 0; c < ch; ++c) {
      std::vector<float> steps;
      for (std::size_t f = 1; f < frames; ++f) steps.push_back(std::fabs(s.samples[f * ch + c] - s.samples[(f - 1) * ch + c]));
      std::nth_element(steps.begin(), steps.begin() + steps.size() * 999 / 1000, steps.end());
      const float usual = steps[steps.size() * 999 / 1000];
      const float join = std::fabs(s.samples[c] - s.samples[(frames - 1) * ch + c]);
      EXPECT_LE(join, usual) << s.fileName << " channel " << c;
    }
  }
}

TEST_F(DemoSounds, AreDistinctSounds) {
  // The zap is high and buzzing, the thud low, the chime in between and
  // ringing; the two pieces differ in key, tempo and length.
  const double zap = CrossingRate(Sound(0)), thud = CrossingRate(Sound(1)), chime = CrossingRate(Sound(2));
  EXPECT_LT(thud * 4, chime);
  EXPECT_LT(thud * 4, zap);
  EXPECT_GT(std::fabs(zap - chime), 0.2 * chime);
  EXPECT_NE(Seconds(Sound(3)), Seconds(Sound(4)));
}

TEST_F(DemoSounds, AreTheSameOnEveryRun) {
  const std::vector<DemoSound> again = SynthesizeDemoSounds();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(again[i].samples, Sound(i).samples) << again[i].fileName;
}

TEST(PcmWaveWriter, WritesARiffWaveWithAPcmFormatAndTheData) {
  const PcmFormat stereo16{44100, 2, 16};
  const std::vector<std::uint8_t> bytes = EncodePcm(stereo16, {0.0f, 1.0f, -1.0f, 2.0f});
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0x00, 0x00, 0xFF, 0x7F, 0x01, 0x80, 0xFF, 0x7F}));
  const std::vector<std::uint8_t> file = BuildPcmWave(stereo16, bytes);
  ASSERT_EQ(file.size(), 44u + 8);
  EXPECT_EQ(std::memcmp(file.data(), "RIFF", 4), 0);
  EXPECT_EQ(Read32(file, 4), file.size() - 8);
  EXPECT_EQ(std::memcmp(file.data() + 8, "WAVEfmt ", 8), 0);
  EXPECT_EQ(Read32(file, 16), 16u);
  EXPECT_EQ(Read16(file, 20), 1);  // PCM
  EXPECT_EQ(Read16(file, 22), 2);
  EXPECT_EQ(Read32(file, 24), 44100u);
  EXPECT_EQ(Read32(file, 28), 44100u * 4);
  EXPECT_EQ(Read16(file, 32), 4);
  EXPECT_EQ(Read16(file, 34), 16);
  EXPECT_EQ(std::memcmp(file.data() + 36, "data", 4), 0);
  EXPECT_EQ(Read32(file, 40), 8u);
}

TEST(PcmWaveWriter, EightBitSamplesAreUnsignedAroundTheSilenceValue) {
  const PcmFormat mono8{22050, 1, 8};
  EXPECT_EQ(EncodePcm(mono8, {0.0f, 1.0f, -1.0f, -5.0f}), (std::vector<std::uint8_t>{0x80, 0xFF, 0x01, 0x01}));
  // An odd number of data bytes is followed by a pad byte, not counted in
  // the data chunk's size but counted in the RIFF size.
  const std::vector<std::uint8_t> file = BuildPcmWave(mono8, {0x80, 0x80, 0x80});
  ASSERT_EQ(file.size(), 44u + 4);
  EXPECT_EQ(Read32(file, 40), 3u);
  EXPECT_EQ(Read32(file, 4), file.size() - 8);
  EXPECT_EQ(Read16(file, 32), 1);
  EXPECT_EQ(Read32(file, 28), 22050u);
}

TEST(PcmWaveWriter, AFileThatCannotBeWrittenIsReportedAndLeftAbsent) {
  std::string error;
  EXPECT_FALSE(WritePcmWave("/nonexistent-dir/x.wav", {8000, 1, 8}, {0.0f}, &error));
  EXPECT_NE(error.find("/nonexistent-dir/x.wav"), std::string::npos);
  EXPECT_FALSE(WritePcmWave("/dev/full", {8000, 1, 8}, std::vector<float>(100000, 0.0f), &error));
  EXPECT_NE(error.find("/dev/full"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists("/dev/full"));
}

}  // namespace
}  // namespace velmo::tools
