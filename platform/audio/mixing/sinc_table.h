// The polyphase tables of the interpolator's windowed-sinc kernels.
//
// A kernel gives, for a source position with fraction `phi`, the weight of
// each source frame around the integer part.  The tables sample it at a
// fixed number of phases per source frame; each row holds the weights at
// one phase and, beside them, the difference to the next phase's weights,
// so that a kernel can be interpolated linearly between phases.
//
// There are two kinds of table:
//  - the unit table, for steps up to 1 (the output rate at or above the
//    source's): 24 taps, cut-off at the source's Nyquist frequency, exact
//    zero crossings at whole frames, so that phase 0 has the weights 1 and 0
//    and a step of 1 copies the input;
//  - the scale tables, for steps above 1: the kernel stretched by the step,
//    with its cut-off lowered with it (plus a little more, so that what
//    lies above the output's Nyquist frequency is stopped, not folded
//    back), at a geometric series of steps, 64 phases each up to a step of
//    2 and 32 beyond (a stretched kernel is smoother per source frame); the
//    kernel for a step between two of them is the linear blend of the two.
//    Scale table 0 is the unit kernel itself, with the unit table's 128
//    phases, so the kernel changes continuously as the step goes through 1.
#pragma once

#include <cstdint>
#include <vector>

namespace velmo::sinc {

// Taps of the unit kernel, and the phases per source frame of its table.
constexpr unsigned kUnitTaps = 24;
constexpr unsigned kUnitPhaseBits = 7;
// The unit kernel reads this many frames before and after the integer part.
constexpr unsigned kUnitBefore = kUnitTaps / 2 - 1;
constexpr unsigned kUnitAfter = kUnitTaps / 2;

// Scale tables sit at steps 2^(i / kScalesPerOctave), i = 0..kScaleCount-1;
// the last one (kMaxStretch) is used as is for every larger step.
constexpr unsigned kScalesPerOctave = 8;
constexpr unsigned kOctaves = 2;
constexpr unsigned kScaleCount = kScalesPerOctave * kOctaves + 1;
constexpr double kMaxStretch = 1 << kOctaves;
// No table reads further than this from the integer part (checked when the
// tables are built).
constexpr unsigned kMaxReach = 40;

// A row of the unit table: weights of taps -11..12 at one phase, and their
// difference to the next phase (the last phase's difference leads to phase
// 0 of the next frame).  192 bytes, three cache lines.
struct alignas(64) UnitRow {
  float weight[kUnitTaps];
  float delta[kUnitTaps];
};

// One scale table: `1 << phaseBits` rows of `width` weights followed by
// `width` deltas.  Its taps run from -(width/2 - 1) to width/2 around the
// integer part; `width` is a multiple of 8 and covers the next table's
// kernel too, so two neighbours blend over the narrower one's width.
struct ScaleTable {
  double step = 1.0;       // the step it was designed for
  unsigned width = 0;      // stored taps per row
  unsigned support = 0;    // taps the kernel itself needs (<= width)
  unsigned phaseBits = 0;  // log2 of the rows
  const float* rows = nullptr;
};

struct Tables {
  std::vector<UnitRow> unit;  // 1 << kUnitPhaseBits rows
  ScaleTable scale[kScaleCount];
  std::vector<float> storage;  // the scale tables' rows
};

// The tables, built on first use (thread-safe) and never freed.  The
// interpolator's set-up calls it once at device creation so that no mixing
// thread ever pays for the build.
const Tables& GetTables();

// The unit kernel's (or the kernel of `stretch`, >= 1) continuous value at
// `t` source frames from the output position, before per-phase
// normalisation: exposed for tests and the quality tool.
double KernelValue(double t, double stretch);

}  // namespace velmo::sinc
