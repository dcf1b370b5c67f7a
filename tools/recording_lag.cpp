// velmo-recording-lag: how faithfully a recording of the sound server's
// output carries a piece of music, and whether given effects are in it.
//
//   velmo-recording-lag --music MUSIC.raw [--loop [--loop-time]] [--channel left|right|mix]
//       [--effect NAME=FILE.raw@SECONDS]... RECORDING.raw
//
// Every file is headerless 16-bit little-endian stereo at 48000 Hz (what
// `parec --raw` records and `sox -t raw -e signed -b 16 -c 2 -r 48000`
// writes); one channel of each, or the average of both, is compared.
//
// The recording is cut into short windows.  For each, the tool finds the lag
// between the recording and the music (recording index minus music index)
// that best lines the window up with the music, searching near the lag of the
// window before.  A window matches when its normalised correlation with the
// music at that lag is high.  A lag that changes between two matching
// windows is a jump: the output lost or repeated samples there.  A window
// that is silent where the music is not is a silent window (an underrun).
// The music is found at first anywhere in the file (with --loop it repeats
// without end, so the recording may start anywhere in it), and again after
// a run of windows that match nowhere near.
//
// An effect is looked for after the music has been taken out of the
// recording: in the residual, within half a second of where it was started,
// by its onset: the normalised correlation of a tenth of a second of silence
// followed by the effect's first quarter second.  Its onset is what places
// an effect.  The rest of it can neither place it nor say it is there: a
// chime's partials (a fifth apart) come back in phase every 1.5 ms and its
// decay looks alike at any point, so the whole of one, with a hiccup of the
// chain inside it (a cycle lost, another repeated), was once matched best
// 0.44 s late, where its tail lines up with its start.  The silence before
// the onset is what rules such places out.  SECONDS places it in
// the music's time: that long after the music's first sample played (as
// the first lag found places it), in the music's first pass.  The device
// mixes the two, so losses in the output move both alike.  With --loop-time,
// SECONDS counts instead in the music's own time since it began, over every
// pass: the effect is looked for where the recording, from the music's first
// sound on, first stands at that point of the music (by the lag in force
// there).  That places effects in a recording that began long after the
// music did, without a clock shared with the program.
//
// It prints one "music:" line, one line per jump and silent run, and one
// "effect" line per effect; every time is in seconds of the recording.  Its
// exit status is 0 when it could analyse the files (whatever it found), 1
// when it could not read them, 2 on a usage error.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr double kSilentRms = 1e-3;       // -60 dBFS: nothing is playing
constexpr double kMatchCorrelation = 0.9;
constexpr int kJumpTolerance = kRate / 2000;  // 0.5 ms: resampling wobble, not lost samples
constexpr int kAcquire = 3 * kRate / 2;       // the sound a lag is found anew from: 1.5 s

using Signal = std::vector<float>;

enum class Channel { kLeft, kRight, kMix };

// Reads one channel of the file, or the average of both.
bool ReadChannel(const std::string& path, Channel channel, Signal* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t frames = bytes.size() / 4;
  out->resize(frames);
  for (std::size_t i = 0; i < frames; ++i) {
    const auto* p = reinterpret_cast<const unsigned char*>(&bytes[4 * i]);
    const auto left = static_cast<std::int16_t>(p[0] | (p[1] << 8));
    const auto right = static_cast<std::int16_t>(p[2] | (p[3] << 8));
    switch (channel) {
      case Channel::kLeft: (*out)[i] = static_cast<float>(left / 32768.0); break;
      case Channel::kRight: (*out)[i] = static_cast<float>(right / 32768.0); break;
      case Channel::kMix: (*out)[i] = static_cast<float>((left + right) / 65536.0); break;
    }
  }
  return true;
}

double Rms(const float* x, int n) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += static_cast<double>(x[i]) * x[i];
  return n > 0 ? std::sqrt(sum / n) : 0.0;
}

// The music as the recording would carry it: indexed modulo its length when
// it loops, zero outside it otherwise.
class Music {
 public:
  Music(Signal samples, bool loop) : x_(std::move(samples)), loop_(loop) {}

  std::int64_t Length() const { return static_cast<std::int64_t>(x_.size()); }
  const Signal& Samples() const { return x_; }
  bool Loops() const { return loop_; }

  // Copies `n` samples from music index `from` into `out`.
  void Copy(std::int64_t from, int n, float* out) const {
    const std::int64_t length = Length();
    for (int i = 0; i < n; ++i) {
      std::int64_t at = from + i;
      if (loop_) {
        at %= length;
        if (at < 0) at += length;
        out[i] = x_[static_cast<std::size_t>(at)];
      } else {
        out[i] = (at >= 0 && at < length) ? x_[static_cast<std::size_t>(at)] : 0.0f;
      }
    }
  }

 private:
  Signal x_;
  bool loop_;
};

// Normalised correlation of `a` and `b` over `n` samples (0 when either is
// silent).
double Correlation(const float* a, const float* b, int n) {
  double ab = 0.0, aa = 0.0, bb = 0.0;
  for (int i = 0; i < n; ++i) {
    ab += static_cast<double>(a[i]) * b[i];
    aa += static_cast<double>(a[i]) * a[i];
    bb += static_cast<double>(b[i]) * b[i];
  }
  if (aa <= 0.0 || bb <= 0.0) return 0.0;
  return ab / std::sqrt(aa * bb);
}

// Averages groups of `factor` samples: a crude low-pass and decimation that
// is good enough for a coarse search.
Signal Decimate(const float* x, std::int64_t n, int factor) {
  Signal out(static_cast<std::size_t>(n / factor));
  for (std::size_t i = 0; i < out.size(); ++i) {
    float sum = 0.0f;
    for (int k = 0; k < factor; ++k) sum += x[i * factor + k];
    out[i] = sum / factor;
  }
  return out;
}

float Dot(const float* a, const float* b, int n) {
  // Independent sums, so that the loop is not one long chain of additions.
  float s[8] = {};
  int i = 0;
  for (; i + 8 <= n; i += 8)
    for (int k = 0; k < 8; ++k) s[k] += a[i + k] * b[i + k];
  float total = 0.0f;
  for (; i < n; ++i) total += a[i] * b[i];
  for (float v : s) total += v;
  return total;
}

struct Best {
  std::int64_t offset = 0;
  double correlation = -1.0;
};

// The normalised correlation of `needle` with haystack[k, k + needle's
// length) for every k (0 where the haystack is silent).
std::vector<double> Correlations(const Signal& needle, const Signal& haystack) {
  const int m = static_cast<int>(needle.size());
  if (m == 0 || haystack.size() < needle.size()) return {};
  std::vector<double> out(haystack.size() - needle.size() + 1, 0.0);
  const double nn = Dot(needle.data(), needle.data(), m);
  if (nn <= 0.0) return out;
  // Energy of the haystack's sliding window, from prefix sums.
  std::vector<double> energy(haystack.size() + 1, 0.0);
  for (std::size_t i = 0; i < haystack.size(); ++i)
    energy[i + 1] = energy[i] + static_cast<double>(haystack[i]) * haystack[i];
  for (std::size_t k = 0; k < out.size(); ++k) {
    const double hh = energy[k + m] - energy[k];
    if (hh > 1e-12) out[k] = Dot(needle.data(), &haystack[k], m) / std::sqrt(nn * hh);
  }
  return out;
}

// The offset k in `haystack` at which `needle` correlates best with
// haystack[k, k + needle's length).
Best BestOffset(const Signal& needle, const Signal& haystack) {
  const std::vector<double> c = Correlations(needle, haystack);
  Best best;
  for (std::size_t k = 0; k < c.size(); ++k)
    if (c[k] > best.correlation) best = {static_cast<std::int64_t>(k), c[k]};
  return best;
}

// The `count` offsets of highest correlation, at least `apart` from each
// other, best first.
std::vector<std::int64_t> TopOffsets(const std::vector<double>& c, std::size_t count, std::int64_t apart) {
  std::vector<std::int64_t> order(c.size());
  for (std::size_t k = 0; k < c.size(); ++k) order[k] = static_cast<std::int64_t>(k);
  std::sort(order.begin(), order.end(), [&c](std::int64_t a, std::int64_t b) { return c[a] > c[b]; });
  std::vector<std::int64_t> chosen;
  for (std::int64_t k : order) {
    if (chosen.size() == count) break;
    bool near = false;
    for (std::int64_t other : chosen) near = near || std::llabs(other - k) < apart;
    if (!near) chosen.push_back(k);
  }
  return chosen;
}

struct Lag {
  std::int64_t lag = 0;
  double correlation = -1.0;
};

// The best lag within two samples of `around` for the window at `at`.
Lag LocalLag(const Signal& recording, std::int64_t at, int n, const Music& music, std::int64_t around) {
  Signal ref(static_cast<std::size_t>(n));
  const float* x = &recording[static_cast<std::size_t>(at)];
  Lag best;
  for (std::int64_t lag = around - 2; lag <= around + 2; ++lag) {
    music.Copy(at - lag, n, ref.data());
    const double c = Correlation(x, ref.data(), n);
    if (c > best.correlation) best = {lag, c};
  }
  return best;
}

// The lag in [low, high] at which the recording's window [at, at + n) best
// matches the music, for finding the music anew.  The signals at an eighth
// of the rate give the candidates quickly.  Two stretches of the music that
// share their chords and drums look alike there, and even at the full rate
// the better correlation over the whole window may belong to the wrong one,
// so each candidate is judged by how many of the window's short windows it
// lines up (`window` samples each), its correlation breaking ties.  The
// candidates come back best first.
std::vector<Lag> AcquireLags(const Signal& recording, std::int64_t at, int n, int window, const Music& music,
                             std::int64_t low, std::int64_t high) {
  constexpr int kFactor = 8;
  constexpr std::size_t kCandidates = 16;
  const Signal coarseWindow = Decimate(&recording[static_cast<std::size_t>(at)], n, kFactor);
  // The music under the whole searched span: a lag of `high` puts the
  // window over its start, each lag less moves it on by one sample.
  const std::int64_t span = (high - low) + n;
  Signal stretch(static_cast<std::size_t>(span));
  music.Copy(at - high, static_cast<int>(span), stretch.data());
  const std::vector<double> coarse = Correlations(coarseWindow, Decimate(stretch.data(), span, kFactor));
  Signal ref(static_cast<std::size_t>(n));
  const float* x = &recording[static_cast<std::size_t>(at)];
  struct Judged {
    Lag lag;
    int linedUp;
  };
  std::vector<Judged> judged;
  for (std::int64_t offset : TopOffsets(coarse, kCandidates, 10)) {
    const std::int64_t centre = high - offset * kFactor;
    Lag candidate;
    for (std::int64_t lag = centre - 2 * kFactor; lag <= centre + 2 * kFactor; ++lag) {
      music.Copy(at - lag, n, ref.data());
      const double c = Correlation(x, ref.data(), n);
      if (c > candidate.correlation) candidate = {lag, c};
    }
    int linedUp = 0;
    for (std::int64_t w = at; w + window <= at + n; w += window)
      if (LocalLag(recording, w, window, music, candidate.lag).correlation >= kMatchCorrelation) ++linedUp;
    judged.push_back({candidate, linedUp});
  }
  std::stable_sort(judged.begin(), judged.end(), [](const Judged& a, const Judged& b) {
    return a.linedUp != b.linedUp ? a.linedUp > b.linedUp : a.lag.correlation > b.lag.correlation;
  });
  std::vector<Lag> lags;
  for (const Judged& j : judged) lags.push_back(j.lag);
  return lags;
}

Lag AcquireLag(const Signal& recording, std::int64_t at, int n, int window, const Music& music, std::int64_t low,
               std::int64_t high) {
  const std::vector<Lag> lags = AcquireLags(recording, at, n, window, music, low, high);
  return lags.empty() ? Lag{} : lags.front();
}

// The lag in [low, high] at which the window [at, at + n) best matches the
// music, at the full rate (for a jump: searched on the differences).
Lag SearchLag(const Signal& recording, std::int64_t at, int n, const Music& music, std::int64_t low,
              std::int64_t high) {
  const std::int64_t span = (high - low) + n;
  Signal stretch(static_cast<std::size_t>(span));
  music.Copy(at - high, static_cast<int>(span), stretch.data());
  const Signal window(recording.begin() + at, recording.begin() + at + n);
  const Best found = BestOffset(window, stretch);
  return {high - found.offset, found.correlation};
}

struct Jump {
  double atSeconds;
  double byMs;
};

struct Track {
  std::int64_t musicStart = -1;  // recording index of the music's first sound
  // Recording index at which the music's first sample played, from the lag
  // first found; negative when the recording began after it.
  std::int64_t musicZero = 0;
  int windows = 0, matched = 0, silent = 0, unmatched = 0;
  std::vector<Jump> jumps;
  std::vector<double> silentAt;  // start of each run of silent windows
  struct Window {
    char kind;  // 'm'atched, 's'ilent, 'q'uiet where the music is, 'u'nmatched
    std::int64_t lag;  // the lag in force
    double correlation;
  };
  std::vector<Window> windowResults;
  int window = 0;
  double musicGain = 1.0;
};

// The change from each sample to the next.  Jumps are searched for and
// candidates told apart on these: they weigh the music's attacks and upper
// partials over long low notes, and over the low thud of an effect, which
// would otherwise line up with the music one bass period away.
Signal Differences(const Signal& x) {
  Signal d(x.size(), 0.0f);
  for (std::size_t i = 1; i < x.size(); ++i) d[i] = x[i] - x[i - 1];
  return d;
}

// Follows the music through the recording, window by window from its first
// sound (`start.musicStart`) on, beginning at the lag `first`.
Track Follow(const Track& start, const Signal& recording, const Signal& changes, const Music& music,
             const Music& musicChanges, std::int64_t first, double seconds, int maxJump) {
  Track t = start;
  const int window = t.window;
  const std::int64_t n = static_cast<std::int64_t>(recording.size());
  std::int64_t lag = first;
  t.musicZero = lag;

  std::int64_t end = n;
  if (seconds > 0) end = std::min(n, t.musicStart + static_cast<std::int64_t>(seconds * kRate));
  Signal ref(static_cast<std::size_t>(window));
  int missesInARow = 0;
  bool inSilence = false;
  double gainNum = 0.0, gainDen = 0.0;
  for (std::int64_t at = t.musicStart; at + window <= end; at += window) {
    ++t.windows;
    const float* x = &recording[static_cast<std::size_t>(at)];
    music.Copy(at - lag, window, ref.data());
    const double recordedLevel = Rms(x, window);
    const double musicLevel = Rms(ref.data(), window);
    if (recordedLevel < kSilentRms) {
      if (musicLevel > 3 * kSilentRms) {
        ++t.silent;
        if (!inSilence) t.silentAt.push_back(static_cast<double>(at) / kRate);
        inSilence = true;
        t.windowResults.push_back({'s', lag, 0.0});
      } else {
        ++t.matched;
        t.windowResults.push_back({'q', lag, 0.0});
      }
      continue;
    }
    inSilence = false;
    // Near the lag in force first; the wide search only when that fails.
    // The near check compares the signals themselves: after a restart the
    // music may sit a fraction of a sample off, and the differences of a
    // noisy drum hit no longer line up then.
    Lag best = LocalLag(recording, at, window, music, lag);
    if (best.correlation < kMatchCorrelation) {
      // After a long run of misses the music may have moved further than a
      // jump: search three seconds each way with a longer window.  A device
      // that keeps its time through a stalled output comes back that far
      // ahead (1.1 s after one stall on a busy machine); the demo music's
      // repetitions lie further apart.
      const bool reacquire = missesInARow >= 10 && at + kAcquire <= n;
      if (reacquire) missesInARow = 0;  // and again only after as many more misses
      best = reacquire ? AcquireLag(recording, at, kAcquire, window, music, lag - 3 * kRate, lag + 3 * kRate)
                       : SearchLag(changes, at, window, musicChanges, lag - maxJump, lag + maxJump);
      // A loud effect over the music can line up with it by chance at some
      // other lag for one window; a real jump holds in the next one too.
      const std::int64_t next = at + window;
      if (best.correlation >= kMatchCorrelation && std::llabs(best.lag - lag) > kJumpTolerance &&
          (next + window > n || LocalLag(recording, next, window, music, best.lag).correlation < kMatchCorrelation))
        best.correlation = -1.0;
    }
    if (best.correlation >= kMatchCorrelation) {
      ++t.matched;
      missesInARow = 0;
      if (std::llabs(best.lag - lag) > kJumpTolerance)
        t.jumps.push_back({static_cast<double>(at) / kRate, 1000.0 * (best.lag - lag) / kRate});
      lag = best.lag;
      music.Copy(at - lag, window, ref.data());
      for (int i = 0; i < window; ++i) {
        gainNum += static_cast<double>(x[i]) * ref[i];
        gainDen += static_cast<double>(ref[i]) * ref[i];
      }
    } else {
      ++t.unmatched;
      ++missesInARow;
    }
    t.windowResults.push_back({best.correlation >= kMatchCorrelation ? 'm' : 'u', lag, best.correlation});
  }
  if (gainDen > 0.0) t.musicGain = gainNum / gainDen;
  return t;
}

// Levels and the lag in force are judged on `recording` and `music`; new
// lags are searched for on their differences.
Track TrackMusic(const Signal& recording, const Music& music, int window, double seconds, int maxJump) {
  const Signal changes = Differences(recording);
  const Music musicChanges(Differences(music.Samples()), music.Loops());
  Track t;
  t.window = window;
  const std::int64_t n = static_cast<std::int64_t>(recording.size());
  for (std::int64_t i = 0; i + window <= n; i += window / 4) {
    if (Rms(&recording[static_cast<std::size_t>(i)], window) > 3 * kSilentRms) {
      t.musicStart = i;
      break;
    }
  }
  if (t.musicStart < 0) return t;

  // The first lag: anywhere in the music, from a second and a half of sound.
  // A loop may bring whole bars back note for note (the demo music's first
  // two seconds return eight seconds in, only the drums' noise differs), and
  // when the output jumped within that second and a half, the wrong
  // repetition can line up as many short windows as the right one.  So when
  // the first candidate leaves many of the first five seconds' windows
  // unmatched (enough for the repetitions to part), the next ones are
  // followed that far too, and the one that lines up the most is kept.  A
  // recording that loses the music later on, through an outage, says
  // nothing about its start, so only those seconds are judged.
  const std::int64_t acquireAt = std::min(t.musicStart + window, std::max<std::int64_t>(0, n - kAcquire));
  if (acquireAt + kAcquire > n) return t;
  const std::int64_t wholeLow = acquireAt - music.Length() + 1;
  const std::vector<Lag> candidates = AcquireLags(recording, acquireAt, kAcquire, window, music,
                                                  music.Loops() ? acquireAt - music.Length() : wholeLow, acquireAt);
  if (candidates.empty()) return t;
  constexpr std::size_t kJudged = 3;
  constexpr double kJudgedSeconds = 5.0, kWellMatched = 0.9;
  const double judged = seconds > 0 ? std::min(seconds, kJudgedSeconds) : kJudgedSeconds;
  std::int64_t chosen = candidates.front().lag;
  const Track first = Follow(t, recording, changes, music, musicChanges, chosen, judged, maxJump);
  if (first.matched < kWellMatched * first.windows) {
    std::vector<std::int64_t> tried{chosen};
    int mostMatched = first.matched;
    for (const Lag& candidate : candidates) {
      if (tried.size() == kJudged) break;
      bool seen = false;
      for (std::int64_t lag : tried) seen = seen || std::llabs(lag - candidate.lag) < window;
      if (seen) continue;
      tried.push_back(candidate.lag);
      const Track other = Follow(t, recording, changes, music, musicChanges, candidate.lag, judged, maxJump);
      if (other.matched > mostMatched) {
        mostMatched = other.matched;
        chosen = candidate.lag;
      }
    }
  }
  return Follow(t, recording, changes, music, musicChanges, chosen, seconds, maxJump);
}

// The first recording index, from the music's first sound on, at which the
// looping music stands `musicIndex` samples after its start (counted over
// every pass), by the lag in force there.  Lags taken up again after a
// dropout may differ from the first by whole passes; only the part of the
// difference within a pass counts.
std::int64_t WherePassReaches(const Track& t, std::int64_t length, std::int64_t musicIndex) {
  std::int64_t at = t.musicZero + musicIndex % length;
  while (at < t.musicStart) at += length;
  while (at - length >= t.musicStart) at -= length;
  if (t.windowResults.empty()) return at;
  const std::size_t w = std::min(static_cast<std::size_t>((at - t.musicStart) / t.window), t.windowResults.size() - 1);
  std::int64_t drift = (t.windowResults[w].lag - t.musicZero) % length;
  if (drift > length / 2) drift -= length;
  if (drift < -length / 2) drift += length;
  return at + drift;
}

struct EffectRequest {
  std::string name;
  std::string path;
  double afterMusicStart = 0.0;
};

std::optional<EffectRequest> ParseEffect(const std::string& text) {
  const auto eq = text.find('=');
  const auto atSign = text.rfind('@');
  if (eq == std::string::npos || atSign == std::string::npos || atSign < eq || eq == 0) return std::nullopt;
  EffectRequest r{text.substr(0, eq), text.substr(eq + 1, atSign - eq - 1), 0.0};
  try {
    std::size_t used = 0;
    r.afterMusicStart = std::stod(text.substr(atSign + 1), &used);
    if (used != text.size() - atSign - 1) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (r.path.empty()) return std::nullopt;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Tracks a piece of music (and finds effects) in a recording of the sound server's output"};
  std::string musicPath, recordingPath;
  bool loop = false;
  double windowMs = 20.0, maxJumpMs = 40.0, seconds = 0.0;
  std::vector<std::string> effectArgs;
  Channel channel = Channel::kMix;
  const std::map<std::string, Channel> channels{
      {"left", Channel::kLeft}, {"right", Channel::kRight}, {"mix", Channel::kMix}};
  app.add_option("--music", musicPath, "the music, raw 16-bit stereo at 48000 Hz")->required();
  app.add_flag("--loop", loop, "the music repeats without end");
  bool loopTime = false;
  app.add_flag("--loop-time", loopTime, "effect SECONDS count in the music's time over every pass (with --loop)");
  app.add_option("--effect", effectArgs, "NAME=FILE@SECONDS: an effect started SECONDS after the music started");
  app.add_option("--channel", channel, "which channel of every file to compare: left, right or mix (the default)")
      ->transform(CLI::CheckedTransformer(channels, CLI::ignore_case));
  app.add_option("--window-ms", windowMs, "length of a window")->check(CLI::Range(5.0, 200.0));
  app.add_option("--max-jump-ms", maxJumpMs, "largest jump followed")->check(CLI::Range(1.0, 500.0));
  app.add_option("--seconds", seconds, "analyse this long after the music's first sound (0: all)");
  bool listWindows = false;
  app.add_flag("--windows", listWindows, "also print every window: its time, kind, lag and correlation");
  app.add_option("recording", recordingPath, "the recording, raw 16-bit stereo at 48000 Hz")->required();
  CLI11_PARSE(app, argc, argv);
  if (loopTime && !loop) {
    std::fprintf(stderr, "velmo-recording-lag: --loop-time goes with --loop\n");
    return 2;
  }

  std::vector<EffectRequest> effects;
  for (const std::string& e : effectArgs) {
    auto parsed = ParseEffect(e);
    if (!parsed) {
      std::fprintf(stderr, "velmo-recording-lag: --effect wants NAME=FILE@SECONDS, not '%s'\n", e.c_str());
      return 2;
    }
    effects.push_back(*parsed);
  }
  Signal musicSamples, recording;
  if (!ReadChannel(musicPath, channel, &musicSamples) || musicSamples.empty()) {
    std::fprintf(stderr, "velmo-recording-lag: cannot read the music %s\n", musicPath.c_str());
    return 1;
  }
  if (!ReadChannel(recordingPath, channel, &recording)) {
    std::fprintf(stderr, "velmo-recording-lag: cannot read the recording %s\n", recordingPath.c_str());
    return 1;
  }
  const Music music(std::move(musicSamples), loop);
  const int window = static_cast<int>(windowMs * kRate / 1000.0);
  const Track t = TrackMusic(recording, music, window, seconds, static_cast<int>(maxJumpMs * kRate / 1000.0));

  if (t.musicStart < 0) {
    std::printf("music: none (the recording of %.2f s is silent)\n", static_cast<double>(recording.size()) / kRate);
  } else {
    double largest = 0.0;
    for (const Jump& j : t.jumps) largest = std::max(largest, std::fabs(j.byMs));
    std::printf(
        "music: first sound at %.3f s, its start at %.3f s; %d windows of %.0f ms, %d matched, %d silent, %d unmatched (%.1f %% matched); "
        "%zu jumps, largest %.1f ms; gain %.3f\n",
        static_cast<double>(t.musicStart) / kRate, static_cast<double>(t.musicZero) / kRate, t.windows, windowMs, t.matched, t.silent, t.unmatched,
        t.windows > 0 ? 100.0 * t.matched / t.windows : 0.0, t.jumps.size(), largest, t.musicGain);
    for (const Jump& j : t.jumps) std::printf("jump: at %.3f s by %+.1f ms\n", j.atSeconds, j.byMs);
    for (double s : t.silentAt) std::printf("silent: from %.3f s\n", s);
    if (listWindows) {
      for (std::size_t w = 0; w < t.windowResults.size(); ++w)
        std::printf("window: %.3f s %c lag %.2f ms correlation %.3f\n",
                    static_cast<double>(t.musicStart + static_cast<std::int64_t>(w) * t.window) / kRate,
                    t.windowResults[w].kind,
                    1000.0 * t.windowResults[w].lag / kRate, t.windowResults[w].correlation);
    }
  }

  for (const EffectRequest& e : effects) {
    Signal effect;
    if (!ReadChannel(e.path, channel, &effect) || effect.empty()) {
      std::fprintf(stderr, "velmo-recording-lag: cannot read the effect %s\n", e.path.c_str());
      return 1;
    }
    if (t.musicStart < 0) {
      std::printf("effect %s: not found (no music to place it by)\n", e.name.c_str());
      continue;
    }
    // The residual around the expected start, half a second each way.  The
    // effect is placed by the music's first sound, not by the lag first
    // found: a dropout in the first second and a half, on a loaded
    // machine, can make that first lag land anywhere in the music.
    std::int64_t expected = t.musicStart + static_cast<std::int64_t>(e.afterMusicStart * kRate);
    if (loopTime) expected = WherePassReaches(t, music.Length(), std::llround(e.afterMusicStart * kRate));
    constexpr int kLead = kRate / 10;
    constexpr int kOnset = kRate / 4;
    const std::int64_t from = std::max<std::int64_t>(t.musicStart, expected - kRate / 2 - kLead);
    const std::int64_t to = std::min<std::int64_t>(static_cast<std::int64_t>(recording.size()),
                                                   expected + kRate / 2 + static_cast<std::int64_t>(effect.size()));
    const int length = static_cast<int>(effect.size());
    if (to - from < length) {
      std::printf("effect %s: not found (the recording ends before it)\n", e.name.c_str());
      continue;
    }
    Signal residual(static_cast<std::size_t>(to - from));
    float sample = 0.0f;
    for (std::int64_t i = from; i < to; ++i) {
      const std::size_t w =
          std::min(static_cast<std::size_t>((i - t.musicStart) / t.window), t.windowResults.size() - 1);
      const std::int64_t lag = t.windowResults.empty() ? 0 : t.windowResults[w].lag;
      music.Copy(i - lag, 1, &sample);
      residual[static_cast<std::size_t>(i - from)] =
          recording[static_cast<std::size_t>(i)] - static_cast<float>(t.musicGain) * sample;
    }
    Signal onset(static_cast<std::size_t>(kLead), 0.0f);
    onset.insert(onset.end(), effect.begin(), effect.begin() + std::min(length, kOnset));
    const int onsetLength = static_cast<int>(onset.size());
    constexpr int kFactor = 4;
    const Best coarse = BestOffset(Decimate(onset.data(), onsetLength, kFactor),
                                   Decimate(residual.data(), static_cast<std::int64_t>(residual.size()), kFactor));
    Best best;
    for (std::int64_t k = std::max<std::int64_t>(0, (coarse.offset - 2) * kFactor);
         k <= (coarse.offset + 2) * kFactor && k + onsetLength <= static_cast<std::int64_t>(residual.size()); ++k) {
      const double c = Correlation(&residual[static_cast<std::size_t>(k)], onset.data(), onsetLength);
      if (c > best.correlation) best = {k, c};
    }
    std::printf("effect %s: expected at %.3f s, found at %.3f s, correlation %.3f\n", e.name.c_str(),
                static_cast<double>(expected) / kRate, static_cast<double>(from + best.offset + kLead) / kRate,
                best.correlation);
  }
  return 0;
}
