// Quality of the mixer's rate conversion, measured on pure tones.
//
//   build/default/bench/resampler_quality            through the device
//   build/default/bench/resampler_quality --direct   the interpolator alone
//   add --check to exit with 1 if a figure misses its target
//
// Each tone is a sine at -6 dBFS in 16-bit PCM, one second long and looped
// (a whole number of cycles, so the loop is seamless).  By default it plays
// through the software device on the manual output, as a looping buffer
// with frequency control, and the float mix is analysed; --direct runs the
// same 16-bit samples through InterpolateMono and InterpolateStereo.
//
// Rate conversion (44.1 -> 48 kHz and 48 -> 44.1 kHz): a sine is fitted to
// the output by least squares (amplitude, phase, offset and frequency, by
// Gauss-Newton from the best of a fine grid around the nominal frequency);
// the signal-to-error ratio is the fitted sine's power over the residual's,
// and the pitch error is the fitted frequency against the nominal one.
// Targets: 75 dB or more, under 1 ppm.
//
// Pitch-up (a 44.1 kHz buffer at a frequency of 88200 Hz): the tone moves to
// twice its frequency, or above the output's Nyquist frequency, where it
// must be stopped.  The expected tone is fitted and removed where it lies
// in the band, and the largest remaining component of a Blackman-Harris
// spectrum is the alias, in dB against the source tone.  Target: -70 dB or
// less.
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "platform/audio/mixing/interpolator.h"
#include "platform/testing/manual_output.h"
#include "velmo/platform/dsound.h"

namespace {

using namespace velmo;

constexpr double kPi = std::numbers::pi;
constexpr double kToneLevel = 0.50118723362727;  // -6 dBFS
constexpr std::size_t kSettle = 4096;            // output frames skipped
constexpr std::size_t kAnalysed = 1 << 15;       // output frames analysed
constexpr double kMinSer = 75.0, kMaxPpm = 1.0, kMaxAlias = -70.0;

// One second of the tone, rounded to 16 bits.
std::vector<std::int16_t> Tone(double hz, std::uint32_t rate) {
  std::vector<std::int16_t> s(rate);
  for (std::uint32_t n = 0; n < rate; ++n)
    s[n] = static_cast<std::int16_t>(std::lrint(kToneLevel * 32767.0 * std::sin(2 * kPi * hz * n / rate)));
  return s;
}

// The left channel of `frames` output frames after kSettle, at `outRate`,
// of `pcm` played at `frequency` (0 for the buffer's own rate).
std::vector<double> ThroughDevice(const std::vector<std::int16_t>& pcm, std::uint32_t rate, std::uint32_t frequency,
                                  std::uint32_t outRate, std::size_t frames) {
  ManualOutput* out = nullptr;
  IDirectSound* device = CreateManualAudioDevice(&out, outRate, 512);
  std::vector<double> left;
  IDirectSoundBuffer* buffer = nullptr;
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 1;
  format.nSamplesPerSec = rate;
  format.wBitsPerSample = 16;
  format.nBlockAlign = 2;
  format.nAvgBytesPerSec = rate * 2;
  DSBUFFERDESC desc{};
  desc.dwSize = sizeof desc;
  desc.dwFlags = DSBCAPS_CTRLFREQUENCY;
  desc.dwBufferBytes = static_cast<DWORD>(pcm.size() * 2);
  desc.lpwfxFormat = &format;
  void *p1 = nullptr, *p2 = nullptr;
  DWORD n1 = 0, n2 = 0;
  if (device->Initialize(nullptr) != DS_OK || device->CreateSoundBuffer(&desc, &buffer, nullptr) != DS_OK ||
      buffer->Lock(0, desc.dwBufferBytes, &p1, &n1, &p2, &n2, 0) != DS_OK) {
    std::fprintf(stderr, "resampler_quality: the device refused the buffer\n");
    std::exit(2);
  }
  std::memcpy(p1, pcm.data(), n1);
  if (n2 > 0) std::memcpy(p2, reinterpret_cast<const char*>(pcm.data()) + n1, n2);
  buffer->Unlock(p1, n1, p2, n2);
  if ((frequency != 0 && buffer->SetFrequency(frequency) != DS_OK) || buffer->Play(0, 0, DSBPLAY_LOOPING) != DS_OK) {
    std::fprintf(stderr, "resampler_quality: the buffer refused to play\n");
    std::exit(2);
  }
  out->RenderFloat(kSettle);
  const std::vector<float> mix = out->RenderFloat(frames);
  for (std::size_t i = 0; i < frames; ++i) left.push_back(mix[2 * i]);
  buffer->Release();
  device->Release();
  return left;
}

// The same through the interpolator, in runs of 512 output frames as the
// mixer makes them.  Both kernels run; the mono one must match the left
// channel of the stereo one (the right channel carries the tone inverted).
std::vector<double> Direct(const std::vector<std::int16_t>& pcm, std::uint32_t rate, std::uint32_t frequency,
                           std::uint32_t outRate, std::size_t frames) {
  const std::uint64_t step = InterpolatorStep(frequency != 0 ? frequency : rate, outRate);
  const std::size_t total = kSettle + frames;
  const std::size_t sourceFrames =
      static_cast<std::size_t>(std::ldexp(double(step), -32) * total) + 2 * kMaxKernelReach + 2;
  std::vector<float> l(sourceFrames), r(sourceFrames);
  for (std::size_t i = 0; i < sourceFrames; ++i) {
    l[i] = pcm[i % pcm.size()] * (1.0f / 32768.0f);
    r[i] = -l[i];
  }
  std::vector<float> stereo(2 * total), mono(2 * total);
  std::size_t at = kMaxKernelReach, atMono = kMaxKernelReach;
  std::uint32_t phase = 0, phaseMono = 0;
  for (std::size_t done = 0; done < total; done += 512) {
    const std::size_t n = std::min<std::size_t>(512, total - done);
    at += InterpolateStereo(l.data() + at, r.data() + at, &phase, step, stereo.data() + 2 * done, n);
    atMono += InterpolateMono(l.data() + atMono, &phaseMono, step, mono.data() + 2 * done, n);
  }
  for (std::size_t i = 0; i < 2 * total; i += 2) {
    if (mono[i] != stereo[i] || mono[i + 1] != stereo[i] || stereo[i + 1] != -stereo[i]) {
      std::fprintf(stderr, "resampler_quality: mono and stereo kernels disagree at frame %zu\n", i / 2);
      std::exit(2);
    }
  }
  std::vector<double> left;
  for (std::size_t i = kSettle; i < total; ++i) left.push_back(stereo[2 * i]);
  return left;
}

struct Fit {
  double omega = 0, a = 0, b = 0, c = 0;  // y ~ a cos(w n') + b sin(w n') + c, n' = n - N/2
  double residual = 0, power = 0;
};

// Least-squares amplitude, phase and offset for a given frequency.
Fit FitAt(const std::vector<double>& y, double omega) {
  const double mid = y.size() / 2.0;
  double m[3][4] = {};
  for (std::size_t n = 0; n < y.size(); ++n) {
    const double x = omega * (n - mid), basis[3] = {std::cos(x), std::sin(x), 1.0};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) m[i][j] += basis[i] * basis[j];
      m[i][3] += basis[i] * y[n];
    }
  }
  for (int i = 0; i < 3; ++i)  // Gauss-Jordan, well conditioned
    for (int j = 0; j < 3; ++j)
      if (j != i) {
        const double f = m[j][i] / m[i][i];
        for (int k = 0; k < 4; ++k) m[j][k] -= f * m[i][k];
      }
  Fit fit{omega, m[0][3] / m[0][0], m[1][3] / m[1][1], m[2][3] / m[2][2]};
  for (std::size_t n = 0; n < y.size(); ++n) {
    const double x = omega * (n - mid), s = fit.a * std::cos(x) + fit.b * std::sin(x);
    fit.power += s * s;
    const double e = y[n] - s - fit.c;
    fit.residual += e * e;
  }
  return fit;
}

// Fits frequency too: the best of a grid of +-2 FFT bins in 1/20 bin steps,
// then Newton steps on the residual along the frequency (the amplitudes
// refitted at each trial).
Fit FitSine(const std::vector<double>& y, double omegaNominal) {
  const double bin = 2 * kPi / y.size();
  Fit best = FitAt(y, omegaNominal);
  for (int k = -40; k <= 40; ++k) {
    const Fit f = FitAt(y, omegaNominal + k * bin / 20);
    if (f.residual < best.residual) best = f;
  }
  double h = bin / 200;
  for (int it = 0; it < 30 && h > bin * 1e-12; ++it) {
    const Fit lo = FitAt(y, best.omega - h), hi = FitAt(y, best.omega + h);
    const double curvature = lo.residual - 2 * best.residual + hi.residual;
    double next = best.omega;
    if (curvature > 0) next -= h * (hi.residual - lo.residual) / (2 * curvature);
    const Fit f = FitAt(y, next);
    if (f.residual < best.residual) best = f;
    if (lo.residual < best.residual) best = lo;
    if (hi.residual < best.residual) best = hi;
    h /= 4;
  }
  return best;
}

void Fft(std::vector<std::complex<double>>& a) {
  const std::size_t n = a.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (std::size_t len = 2; len <= n; len <<= 1) {
    const std::complex<double> w = std::polar(1.0, -2 * kPi / len);
    for (std::size_t i = 0; i < n; i += len) {
      std::complex<double> wk = 1;
      for (std::size_t k = 0; k < len / 2; ++k, wk *= w) {
        const auto u = a[i + k], v = a[i + k + len / 2] * wk;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
      }
    }
  }
}

// The amplitude and frequency of the largest sinusoidal component in `y`
// (Blackman-Harris window, -92 dB side lobes), ignoring DC.
std::pair<double, double> LargestComponent(const std::vector<double>& y, double rate) {
  const std::size_t n = y.size();
  std::vector<std::complex<double>> a(n);
  double gain = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = 2 * kPi * i / n;
    const double w = 0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) - 0.01168 * std::cos(3 * x);
    a[i] = y[i] * w;
    gain += w;
  }
  Fft(a);
  double peak = 0;
  std::size_t at = 0;
  for (std::size_t k = 8; k <= n / 2; ++k)
    if (std::abs(a[k]) > peak) peak = std::abs(a[k]), at = k;
  return {2 * peak / gain, at * rate / n};
}

struct Options {
  bool direct = false, check = false;
};

using Render = std::vector<double> (*)(const std::vector<std::int16_t>&, std::uint32_t, std::uint32_t, std::uint32_t,
                                       std::size_t);

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--direct")
      o.direct = true;
    else if (a == "--check")
      o.check = true;
    else {
      std::fprintf(stderr, "usage: %s [--direct] [--check]\n", argv[0]);
      return 2;
    }
  }
  PrepareInterpolator();
  const Render render = o.direct ? Direct : ThroughDevice;
  std::printf("path: %s\n", o.direct ? (std::string("interpolator, ") + InterpolatorIsa()).c_str()
                                     : "software device on the manual output (float mix)");
  bool ok = true;
  const double tones[] = {1000, 5000, 10000, 15000};

  std::printf("\n%-16s %8s %12s %12s\n", "conversion", "tone Hz", "SER dB", "pitch ppm");
  const std::uint32_t conversions[][2] = {{44100, 48000}, {48000, 44100}};
  for (const auto& c : conversions) {
    for (double hz : tones) {
      const std::vector<double> y = render(Tone(hz, c[0]), c[0], 0, c[1], kAnalysed);
      const Fit f = FitSine(y, 2 * kPi * hz / c[1]);
      const double ser = 10 * std::log10(f.power / f.residual);
      const double ppm = (f.omega / (2 * kPi * hz / c[1]) - 1) * 1e6;
      const bool pass = ser >= kMinSer && std::fabs(ppm) < kMaxPpm;
      ok = ok && pass;
      std::printf("%5u -> %-7u %8.0f %12.1f %12.4f%s\n", c[0], c[1], hz, ser, ppm, pass ? "" : "  MISSES");
    }
  }

  std::printf("\n%-22s %8s %9s %12s %12s %10s\n", "pitch-up x2", "tone Hz", "out Hz", "tone dB", "alias dB",
              "alias Hz");
  const std::uint32_t outputs[] = {48000, 44100};
  for (std::uint32_t outRate : outputs) {
    for (double hz : tones) {
      const std::vector<double> y = render(Tone(hz, 44100), 44100, 88200, outRate, kAnalysed);
      const double moved = 2 * hz;
      std::vector<double> rest = y;
      double toneDb = -INFINITY;
      if (moved < outRate / 2.0) {
        const Fit f = FitSine(y, 2 * kPi * moved / outRate);
        toneDb = 20 * std::log10(std::hypot(f.a, f.b) / kToneLevel);
        const double mid = y.size() / 2.0;
        for (std::size_t n = 0; n < y.size(); ++n)
          rest[n] -= f.a * std::cos(f.omega * (n - mid)) + f.b * std::sin(f.omega * (n - mid)) + f.c;
      }
      const auto [amp, at] = LargestComponent(rest, outRate);
      const double aliasDb = 20 * std::log10(amp / kToneLevel);
      const bool pass = aliasDb <= kMaxAlias;
      ok = ok && pass;
      std::printf("44100 @ 88200 -> %-5u %8.0f %9.0f %12.2f %12.1f %10.0f%s\n", outRate, hz, moved, toneDb, aliasDb, at,
                  pass ? "" : "  MISSES");
    }
  }
  if (o.check) std::printf("\n%s\n", ok ? "all figures meet their targets" : "some figures miss their targets");
  return o.check && !ok ? 1 : 0;
}
