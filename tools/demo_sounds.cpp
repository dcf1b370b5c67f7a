#include "tools/demo_sounds.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace velmo::tools {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// A fixed pseudo-random source, so that every run writes the same files.
class Noise {
 public:
  explicit Noise(std::uint32_t seed) : state_(seed) {}
  double Next() {  // uniform in [-1, 1)
    state_ = state_ * 1664525u + 1013904223u;
    return static_cast<double>(state_ >> 8) / 8388608.0 - 1.0;
  }

 private:
  std::uint32_t state_;
};

// Peak levels.  The device mixes the music and the effects by adding them,
// so together they leave headroom: music and one effect at their loudest
// just reach full scale instead of clipping.
constexpr float kEffectPeak = 0.55f;
constexpr float kMusicPeak = 0.45f;

double MidiToHz(int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); }

// Scales the sound so that its loudest sample has magnitude `peak`.
void Normalize(std::vector<float>& samples, float peak) {
  float loudest = 0.0f;
  for (float v : samples) loudest = std::max(loudest, std::fabs(v));
  if (loudest <= 0.0f) return;
  const float gain = peak / loudest;
  for (float& v : samples) v *= gain;
}

// A fade that reaches exactly zero at `end`, so that a one-shot effect never
// stops on a step.
double FadeOut(double t, double end, double length) {
  if (t >= end) return 0.0;
  if (t <= end - length) return 1.0;
  return (end - t) / length;
}

double FadeIn(double t, double length) { return t >= length ? 1.0 : t / length; }

// --- Effects ---

// A falling laser zap: an exponential sweep from 1900 Hz to 140 Hz on a
// band-limited square wave (odd harmonics below Nyquist).
DemoSound Zap() {
  DemoSound s{"sfx1.wav", {22050, 1, 8}, {}};
  const double rate = s.format.sampleRate;
  const double length = 0.32;
  const int frames = static_cast<int>(length * rate);
  double phase = 0.0;
  for (int i = 0; i < frames; ++i) {
    const double t = i / rate;
    const double f = 1900.0 * std::pow(140.0 / 1900.0, t / length);
    phase += kTwoPi * f / rate;
    double v = 0.0;
    for (int h = 1; h * f < rate / 2 && h <= 9; h += 2) v += std::sin(h * phase) / h;
    const double env = FadeIn(t, 0.002) * std::exp(-4.0 * t) * FadeOut(t, length, 0.03);
    s.samples.push_back(static_cast<float>(v * env));
  }
  Normalize(s.samples, kEffectPeak);
  return s;
}

// A heavy thud: a sine falling from 120 Hz to 38 Hz under a fast decay, with
// a short burst of low-passed noise for the impact.
DemoSound Thud() {
  DemoSound s{"sfx2.wav", {44100, 1, 16}, {}};
  const double rate = s.format.sampleRate;
  const double length = 0.45;
  const int frames = static_cast<int>(length * rate);
  Noise noise(7);
  double phase = 0.0;
  double lowpass = 0.0;
  for (int i = 0; i < frames; ++i) {
    const double t = i / rate;
    const double f = 38.0 + 82.0 * std::exp(-t / 0.05);
    phase += kTwoPi * f / rate;
    lowpass += 0.08 * (noise.Next() - lowpass);
    const double body = std::sin(phase) * std::exp(-t / 0.12);
    const double impact = lowpass * 2.5 * std::exp(-t / 0.015);
    const double env = FadeIn(t, 0.001) * FadeOut(t, length, 0.05);
    s.samples.push_back(static_cast<float>((body + impact) * env));
  }
  Normalize(s.samples, kEffectPeak);
  return s;
}

// A two-note bell chime in stereo: E6 on the left, then B6 on the right 90 ms
// later, each with the inharmonic partials of a small bell.
DemoSound Chime() {
  DemoSound s{"sfx3.wav", {44100, 2, 16}, {}};
  const double rate = s.format.sampleRate;
  const double length = 0.95;
  const int frames = static_cast<int>(length * rate);
  struct Strike {
    double start, hz, left, right;
  };
  const Strike strikes[] = {{0.0, MidiToHz(88), 0.85, 0.45}, {0.09, MidiToHz(95), 0.45, 0.85}};
  const double partials[][3] = {{1.0, 1.0, 0.45}, {2.76, 0.5, 0.25}, {5.40, 0.25, 0.12}, {8.93, 0.12, 0.06}};
  for (int i = 0; i < frames; ++i) {
    const double t = i / rate;
    double left = 0.0, right = 0.0;
    for (const Strike& k : strikes) {
      const double u = t - k.start;
      if (u < 0.0) continue;
      double v = 0.0;
      for (const auto& p : partials) {
        if (k.hz * p[0] >= rate / 2) continue;
        v += p[1] * std::sin(kTwoPi * k.hz * p[0] * u) * std::exp(-u / p[2]);
      }
      v *= FadeIn(u, 0.001);
      left += v * k.left;
      right += v * k.right;
    }
    const double env = FadeOut(t, length, 0.08);
    s.samples.push_back(static_cast<float>(left * env));
    s.samples.push_back(static_cast<float>(right * env));
  }
  Normalize(s.samples, kEffectPeak);
  return s;
}

// --- Music ---

// Music is rendered into a ring of exactly one loop's length: every note, and
// every tail that runs past the end, is added at its position modulo the
// loop.  The file is then one period of a periodic signal, and playing it
// over and over joins its last sample to its first without a step.
class LoopCanvas {
 public:
  LoopCanvas(double rate, int channels, double seconds)
      : rate_(rate), channels_(channels), frames_(static_cast<long>(std::lround(seconds * rate))),
        samples_(static_cast<std::size_t>(frames_ * channels), 0.0f) {}

  double Rate() const { return rate_; }

  // Adds `value` at time `t` (seconds, any value), split between the
  // channels by `pan` (-1 left, 0 centre, +1 right; ignored in mono).
  void Add(double t, double value, double pan) {
    long frame = static_cast<long>(std::lround(t * rate_)) % frames_;
    if (frame < 0) frame += frames_;
    float* at = &samples_[static_cast<std::size_t>(frame * channels_)];
    if (channels_ == 1) {
      at[0] += static_cast<float>(value);
    } else {
      const double angle = (pan + 1.0) * std::numbers::pi / 4.0;  // equal-power pan
      at[0] += static_cast<float>(value * std::cos(angle) * std::numbers::sqrt2);
      at[1] += static_cast<float>(value * std::sin(angle) * std::numbers::sqrt2);
    }
  }

  std::vector<float> Take(float peak) {
    Normalize(samples_, peak);
    return std::move(samples_);
  }

 private:
  double rate_;
  int channels_;
  long frames_;
  std::vector<float> samples_;
};

enum class Voice { Pluck, Lead, Bass, MusicBox, SoftPad };

// Renders one note of `voice`: frequency `hz`, starting at `start`, held for
// `hold` seconds, at `gain`.
void Note(LoopCanvas& canvas, Voice voice, double start, double hold, double hz, double gain, double pan) {
  const double rate = canvas.Rate();
  double tail = 0.0;
  switch (voice) {
    case Voice::Pluck: tail = 0.35; break;
    case Voice::Lead: tail = 0.12; break;
    case Voice::Bass: tail = 0.10; break;
    case Voice::MusicBox: tail = 1.2; break;
    case Voice::SoftPad: tail = 0.4; break;
  }
  const double length = hold + tail;
  const int frames = static_cast<int>(length * rate);
  for (int i = 0; i < frames; ++i) {
    const double t = i / rate;
    const double release = t < hold ? 1.0 : std::max(0.0, 1.0 - (t - hold) / tail);
    double v = 0.0;
    switch (voice) {
      case Voice::Pluck:
        for (int h = 1; h <= 6 && h * hz < rate / 2; ++h)
          v += std::sin(kTwoPi * hz * h * t) * std::exp(-t * (3.0 + 4.0 * h)) / h;
        v *= FadeIn(t, 0.003);
        break;
      case Voice::Lead: {
        const double vibrato = 1.0 + 0.004 * std::sin(kTwoPi * 5.5 * t) * std::min(1.0, t / 0.3);
        for (int h = 1; h <= 9 && h * hz < rate / 2; h += 2)
          v += ((h / 2) % 2 ? -1.0 : 1.0) * std::sin(kTwoPi * hz * vibrato * h * t) / (h * h);
        v *= FadeIn(t, 0.02) * (0.75 + 0.25 * std::exp(-t * 3.0));
        break;
      }
      case Voice::Bass:
        v = std::sin(kTwoPi * hz * t) + 0.3 * std::sin(kTwoPi * 2 * hz * t);
        v *= FadeIn(t, 0.005) * (0.6 + 0.4 * std::exp(-t * 4.0));
        break;
      case Voice::MusicBox:
        v = std::sin(kTwoPi * hz * t) * std::exp(-t * 2.2) + 0.35 * std::sin(kTwoPi * hz * 3.0 * t) * std::exp(-t * 6.0);
        if (hz * 5.2 < rate / 2) v += 0.12 * std::sin(kTwoPi * hz * 5.2 * t) * std::exp(-t * 10.0);
        v *= FadeIn(t, 0.002);
        break;
      case Voice::SoftPad:
        v = std::sin(kTwoPi * hz * t) + 0.2 * std::sin(kTwoPi * hz * 2.0 * t + 0.5);
        v *= FadeIn(t, 0.15);
        break;
    }
    canvas.Add(start + t, v * release * gain, pan);
  }
}

enum class Drum { Kick, Snare, Hat };

void Hit(LoopCanvas& canvas, Drum drum, double start, double gain, Noise& noise) {
  const double rate = canvas.Rate();
  const double length = drum == Drum::Kick ? 0.3 : (drum == Drum::Snare ? 0.2 : 0.05);
  const int frames = static_cast<int>(length * rate);
  double phase = 0.0;
  double previous = 0.0;
  for (int i = 0; i < frames; ++i) {
    const double t = i / rate;
    double v = 0.0;
    if (drum == Drum::Kick) {
      phase += kTwoPi * (45.0 + 75.0 * std::exp(-t / 0.03)) / rate;
      v = std::sin(phase) * std::exp(-t / 0.09);
    } else if (drum == Drum::Snare) {
      v = 0.6 * noise.Next() * std::exp(-t / 0.05) + 0.5 * std::sin(kTwoPi * 185.0 * t) * std::exp(-t / 0.04);
    } else {
      const double n = noise.Next();
      v = (n - previous) * 0.5 * std::exp(-t / 0.012);  // first difference: a crude high-pass
      previous = n;
    }
    canvas.Add(start + t, v * FadeOut(t, length, 0.01) * gain, drum == Drum::Hat ? 0.35 : 0.0);
  }
}

// An upbeat pop loop in C major, 120 beats a minute, eight bars of four
// beats (16 s): bass, a plucked arpeggio on the right, a lead on the left,
// and drums.
DemoSound Bgm1() {
  const double beat = 0.5;
  LoopCanvas canvas(44100, 2, 32 * beat);
  Noise noise(1234);
  // Root of each bar and its chord (semitones above the root).
  const int roots[8] = {48, 45, 41, 43, 48, 45, 41, 43};
  const int chords[8][3] = {{0, 4, 7}, {0, 3, 7}, {0, 4, 7}, {0, 4, 7},
                            {0, 4, 7}, {0, 3, 7}, {0, 4, 7}, {0, 4, 7}};
  for (int bar = 0; bar < 8; ++bar) {
    const double t0 = bar * 4 * beat;
    Note(canvas, Voice::Bass, t0, 1.3 * beat, MidiToHz(roots[bar] - 12), 0.55, 0.0);
    Note(canvas, Voice::Bass, t0 + 2 * beat, 0.8 * beat, MidiToHz(roots[bar] - 12), 0.5, 0.0);
    Note(canvas, Voice::Bass, t0 + 3 * beat, 0.8 * beat, MidiToHz(roots[bar] - 5), 0.45, 0.0);
    const int pattern[8] = {0, 1, 2, 1, 0, 1, 2, 1};
    for (int e = 0; e < 8; ++e) {
      const int step = pattern[e];
      const int octave = e >= 4 && step == 0 ? 12 : 0;
      Note(canvas, Voice::Pluck, t0 + e * beat / 2, beat / 2, MidiToHz(roots[bar] + 12 + chords[bar][step] + octave),
           0.22, 0.45);
    }
    for (int b = 0; b < 4; ++b) {
      const double t = t0 + b * beat;
      if (b % 2 == 0) Hit(canvas, Drum::Kick, t, 0.8, noise);
      if (b % 2 == 1) Hit(canvas, Drum::Snare, t, 0.35, noise);
      Hit(canvas, Drum::Hat, t, 0.25, noise);
      Hit(canvas, Drum::Hat, t + beat / 2, 0.18, noise);
    }
  }
  // The tune: (beat of the loop, length in beats, MIDI note).
  struct Tone {
    double at, beats;
    int note;
  };
  const Tone tune[] = {
      {0, 1.5, 76},  {1.5, 0.5, 74}, {2, 1, 72},     {3, 1, 74},     {4, 2, 76},     {6, 1, 79},  {7, 1, 76},
      {8, 1.5, 77},  {9.5, 0.5, 76}, {10, 1, 74},    {11, 1, 72},    {12, 3, 74},    {15, 1, 71},
      {16, 1.5, 76}, {17.5, 0.5, 74}, {18, 1, 72},   {19, 1, 74},    {20, 1, 76},    {21, 1, 79}, {22, 2, 81},
      {24, 1, 77},   {25, 1, 76},    {26, 1, 74},    {27, 1, 71},    {28, 3.5, 72},
  };
  for (const Tone& n : tune) Note(canvas, Voice::Lead, n.at * beat, n.beats * beat * 0.92, MidiToHz(n.note), 0.32, -0.4);
  return {"bgm1.wav", {44100, 2, 16}, canvas.Take(kMusicPeak)};
}

// A slow music-box waltz in A minor, 96 beats a minute, twelve bars of three
// beats (22.5 s): a bass on each first beat, soft chords on the other two and
// a bell-like tune.
DemoSound Bgm2() {
  const double beat = 60.0 / 96.0;
  LoopCanvas canvas(22050, 1, 36 * beat);
  const int roots[12] = {45, 45, 50, 50, 52, 52, 45, 45, 41, 50, 52, 45};
  const bool minor[12] = {true, true, true, true, false, false, true, true, false, true, false, true};
  for (int bar = 0; bar < 12; ++bar) {
    const double t0 = bar * 3 * beat;
    Note(canvas, Voice::SoftPad, t0, 2.6 * beat, MidiToHz(roots[bar] - 12), 0.45, 0.0);
    const int third = minor[bar] ? 3 : 4;
    for (int b = 1; b < 3; ++b) {
      for (int interval : {third, 7})
        Note(canvas, Voice::SoftPad, t0 + b * beat, 0.6 * beat, MidiToHz(roots[bar] + 12 + interval), 0.12, 0.0);
    }
  }
  struct Tone {
    double at;
    int note;
  };
  const Tone tune[] = {
      {0, 81},  {1, 83},  {2, 84},  {3, 83},  {5, 81},  {6, 86},  {7, 84},  {8, 83},  {9, 81},  {10, 80}, {11, 83},
      {12, 76}, {14, 81}, {15, 84}, {16, 83}, {17, 81}, {18, 77}, {19, 76}, {20, 74}, {21, 74}, {23, 76}, {24, 80},
      {25, 83}, {26, 86}, {27, 84}, {28, 83}, {29, 81}, {30, 80}, {31, 83}, {33, 81},
  };
  for (const Tone& n : tune) Note(canvas, Voice::MusicBox, n.at * beat, 0.9 * beat, MidiToHz(n.note), 0.4, 0.0);
  return {"bgm2.wav", {22050, 1, 8}, canvas.Take(kMusicPeak)};
}

}  // namespace

std::vector<DemoSound> SynthesizeDemoSounds() {
  std::vector<DemoSound> sounds;
  sounds.push_back(Zap());
  sounds.push_back(Thud());
  sounds.push_back(Chime());
  sounds.push_back(Bgm1());
  sounds.push_back(Bgm2());
  return sounds;
}

}  // namespace velmo::tools
