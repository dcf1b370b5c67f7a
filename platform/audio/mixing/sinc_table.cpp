#include "platform/audio/mixing/sinc_table.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>

namespace velmo::sinc {
namespace {

// The unit kernel: 24 taps under a Kaiser window of shape 10, its stop
// band about 100 dB down for the images of tones up to a third of the
// source rate (15 kHz at 44.1 kHz), so that 16-bit sources pass at their
// own noise floor.  (16 taps with shape 8 cost a sixth less and reach about
// 83 dB at 15 kHz; a larger shape widens the transition until those images
// fall inside it, a smaller one raises the side lobes.)
constexpr double kUnitBeta = 10.0;

// For steps above 1 the kernel is stretched by the step, and moves by a
// step of kRampEnd to a shorter, lower-cut-off shape that stays put from
// there: kScaledHalfWidth frames per unit of step under a window of shape
// kScaledBeta, cut-off at kCutoffFactor times the output's Nyquist
// frequency (reached by a step of kCutoffRampEnd).  The lower cut-off puts
// the stop band's edge near the output's Nyquist frequency, where a plain
// stretched copy of the unit kernel would leave a third of an octave above
// it folding back; the shorter kernel keeps the cost of large steps down.
// Ending the ramp at 1.18 keeps the scale tables up to a step of 1.19 at 24
// taps (48 to 44.1 kHz costs a fifth less than with a ramp to 1.5, at the
// same 90 dB).
constexpr double kUnitHalfWidth = kUnitTaps / 2.0;
constexpr double kScaledHalfWidth = 10.0;
constexpr double kScaledBeta = 8.0;
constexpr double kRampEnd = 1.18;
constexpr double kCutoffFactor = 0.9;
constexpr double kCutoffRampEnd = 1.3;

// Moves linearly from `from` at a step of 1 to `to` at `end`, then stays.
double Ramp(double stretch, double end, double from, double to) {
  const double x = std::min(1.0, (stretch - 1.0) / (end - 1.0));
  return from + (to - from) * x;
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

// Kaiser window of shape `beta` over |x| <= 1.  The unit kernel reaches
// its edge at a zero of the sinc, so it ends without a step; a stretched
// one steps there by at most 1 / I0(beta) of its sinc's tail, about
// -100 dB.  (Removing the edge value to force a zero cost 2.5 dB at 15 kHz
// for the unit kernel.)
double Window(double x, double beta) {
  if (std::fabs(x) >= 1.0) return 0.0;
  return BesselI0(beta * std::sqrt(1.0 - x * x)) / BesselI0(beta);
}

double HalfWidth(double stretch) { return stretch * Ramp(stretch, kRampEnd, kUnitHalfWidth, kScaledHalfWidth); }

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
  const double cutoff = Ramp(stretch, kCutoffRampEnd, 1.0, kCutoffFactor) / stretch;
  const double x = cutoff * t;
  double sinc;
  if (x == 0.0) {
    sinc = 1.0;
  } else if (stretch == 1.0 && t == std::round(t)) {
    sinc = 0.0;  // exact zero crossings of the unit kernel
  } else {
    sinc = std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
  }
  return cutoff * sinc * Window(t / halfWidth, Ramp(stretch, kRampEnd, kUnitBeta, kScaledBeta));
}

const Tables& GetTables() {
  static const Tables* tables = Build();
  return *tables;
}

}  // namespace velmo::sinc
