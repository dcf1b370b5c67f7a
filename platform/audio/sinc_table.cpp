#include "platform/audio/sinc_table.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>

namespace velmo::sinc {
namespace {

// Kaiser window shape.  8 puts the unit kernel's stop band at about 85 dB
// for images of tones up to a third of the source rate (15 kHz at
// 44.1 kHz): a larger value widens the transition until the images of
// those tones fall inside it, a smaller one raises the side lobes.
constexpr double kBeta = 8.0;

// For steps above 1 the kernel is stretched by the step times a length
// factor and its cut-off placed at the output's Nyquist frequency times a
// cut-off factor.  Both move away from 1 linearly up to the step given and
// stay there: the longer kernel keeps the transition band narrow relative
// to the output rate, the lower cut-off puts the stop band's edge near the
// output's Nyquist frequency, where a stretched copy of the unit kernel
// would leave a third of an octave above it folding back.
constexpr double kLengthFactor = 1.25;
constexpr double kLengthRampEnd = 1.5;
constexpr double kCutoffFactor = 0.9;
constexpr double kCutoffRampEnd = 1.3;

double Ramp(double stretch, double end, double value) {
  const double x = std::min(1.0, (stretch - 1.0) / (end - 1.0));
  return 1.0 + (value - 1.0) * x;
}

// Zeroth-order modified Bessel function of the first kind (power series).
double BesselI0(double x) {
  double sum = 1.0, term = 1.0;
  const double q = x * x / 4.0;
  for (int k = 1; k < 64; ++k) {
    term *= q / (double(k) * k);
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

// Kaiser window over |x| <= 1.  The unit kernel reaches its edge at a zero
// of the sinc, so it ends without a step; a stretched one steps there by at
// most 1 / I0(beta) of its sinc's tail, about -100 dB.  (Removing the edge
// value to force a zero cost 2.5 dB at 15 kHz for the unit kernel.)
double Window(double x) {
  if (std::fabs(x) >= 1.0) return 0.0;
  static const double peak = BesselI0(kBeta);
  return BesselI0(kBeta * std::sqrt(1.0 - x * x)) / peak;
}

double HalfWidth(double stretch) { return kUnitTaps / 2.0 * stretch * Ramp(stretch, kLengthRampEnd, kLengthFactor); }

// Taps from -(n/2 - 1) to n/2 cover every phase of a kernel of this
// half-width; rounded up to whole vectors of 8.
unsigned Support(double stretch) {
  const unsigned n = 2 * static_cast<unsigned>(std::ceil(HalfWidth(stretch) - 1e-9));
  return (n + 7) / 8 * 8;
}

// Fills `rows` (1 << phaseBits of them, each `width` weights then `width`
// deltas) for the kernel of `stretch`, each phase normalised to a sum of 1
// so that a constant passes at unit gain whatever the phase.
void Fill(double stretch, unsigned width, unsigned phaseBits, float* rows) {
  const unsigned phases = 1u << phaseBits;
  const int first = -static_cast<int>(width / 2 - 1);
  std::vector<double> here(width), next(width);
  auto weights = [&](double phi, std::vector<double>& w) {
    double sum = 0.0;
    for (unsigned k = 0; k < width; ++k) sum += w[k] = KernelValue((first + int(k)) - phi, stretch);
    for (double& v : w) v /= sum;
  };
  weights(0.0, here);
  for (unsigned p = 0; p < phases; ++p) {
    weights(double(p + 1) / phases, next);
    float* row = rows + std::size_t(p) * 2 * width;
    for (unsigned k = 0; k < width; ++k) {
      row[k] = static_cast<float>(here[k]);
      row[width + k] = static_cast<float>(next[k] - here[k]);
    }
    here.swap(next);
  }
}

Tables* Build() {
  auto* t = new Tables;
  t->unit.resize(1u << kUnitPhaseBits);
  {
    std::vector<float> rows(std::size_t(2) * kUnitTaps << kUnitPhaseBits);
    Fill(1.0, kUnitTaps, kUnitPhaseBits, rows.data());
    for (unsigned p = 0; p < t->unit.size(); ++p)
      for (unsigned k = 0; k < kUnitTaps; ++k) {
        t->unit[p].weight[k] = rows[p * 2 * kUnitTaps + k];
        t->unit[p].delta[k] = rows[p * 2 * kUnitTaps + kUnitTaps + k];
      }
  }
  // The phase-0 row must be exactly 1 and 0 for a step of 1 to copy.
  for (unsigned k = 0; k < kUnitTaps; ++k)
    if (t->unit[0].weight[k] != (k == kUnitBefore ? 1.0f : 0.0f)) std::abort();

  std::size_t offsets[kScaleCount];
  std::size_t total = 0;
  for (unsigned i = 0; i < kScaleCount; ++i) {
    ScaleTable& s = t->scale[i];
    s.step = std::exp2(double(i) / kScalesPerOctave);
    s.support = i == 0 ? kUnitTaps : Support(s.step);
    // Scale 0 keeps the unit table's phases so that it equals it exactly.
    s.phaseBits = i == 0 ? kUnitPhaseBits : (s.step < 2.0 ? 6 : 5);
  }
  for (unsigned i = 0; i < kScaleCount; ++i) {
    ScaleTable& s = t->scale[i];
    s.width = i + 1 < kScaleCount ? std::max(s.support, t->scale[i + 1].support) : s.support;
    offsets[i] = total;
    total += std::size_t(2) * s.width << s.phaseBits;
  }
  t->storage.resize(total);
  for (unsigned i = 0; i < kScaleCount; ++i) {
    ScaleTable& s = t->scale[i];
    Fill(i == 0 ? 1.0 : s.step, s.width, s.phaseBits, t->storage.data() + offsets[i]);
    s.rows = t->storage.data() + offsets[i];
    if (s.width / 2 > kMaxReach) std::abort();
  }
  return t;
}

}  // namespace

double KernelValue(double t, double stretch) {
  const double halfWidth = HalfWidth(stretch);
  if (std::fabs(t) >= halfWidth) return 0.0;
  // Cut-off relative to the source's Nyquist frequency.
  const double cutoff = Ramp(stretch, kCutoffRampEnd, kCutoffFactor) / stretch;
  const double x = cutoff * t;
  double sinc;
  if (x == 0.0) {
    sinc = 1.0;
  } else if (stretch == 1.0 && t == std::round(t)) {
    sinc = 0.0;  // exact zero crossings of the unit kernel
  } else {
    sinc = std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
  }
  return cutoff * sinc * Window(t / halfWidth);
}

const Tables& GetTables() {
  static const Tables* tables = Build();
  return *tables;
}

}  // namespace velmo::sinc
