// The two halves of measuring how soon a pressed effect is heard
// (bench/output_depth.sh).
//
//   press_latency record STAMPS OUT.raw < RECORDING
//     Copies parec's raw 16-bit stereo stream from standard input into
//     OUT.raw and notes, for every read, the time of day (microseconds) and
//     how many frames had arrived by then, one "TIME FRAMES" line each in
//     STAMPS.
//
//   press_latency analyse STAMPS OUT.raw PRESSES EFFECT.raw
//     PRESSES holds the time of day of each press (microseconds, one a
//     line); EFFECT.raw is the effect at the recording's rate (raw 16-bit
//     stereo).  Prints each press's latency and then one line
//     "presses N found M median MS max MS".
//
// Placing the recording in time: a read returns the frames that arrived
// since the last one, the newest of them an instant before the read.  So
// the time of day of frame 0 is at most (read time - frames so far / rate)
// for every read, and nearly that for the read that came soonest after its
// data: the smallest of them is taken, which takes parec's own latency and
// the pipe's out.  What is left is the null sink's delivery: it renders in
// blocks and hands each block to its monitor at once, so a time can come
// out early by up to a block (about parec's --latency-msec).
//
// An effect's first sound is the first frame after the press louder than a
// threshold, less where the effect file itself first passes that threshold.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kRate = 48000;
constexpr int kThreshold = 200;  // of 32767: well above the silence, which is exact zeros here

long long NowUs() {
  timeval t{};
  gettimeofday(&t, nullptr);
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_usec;
}

int Record(const char* stampsPath, const char* outPath) {
  FILE* stamps = std::fopen(stampsPath, "w");
  FILE* out = std::fopen(outPath, "wb");
  if (stamps == nullptr || out == nullptr) {
    std::fprintf(stderr, "press_latency: cannot write %s or %s\n", stampsPath, outPath);
    return 1;
  }
  static char chunk[1 << 16];
  long long bytes = 0;
  for (;;) {
    const ssize_t n = ::read(0, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const long long at = NowUs();
    bytes += n;
    std::fwrite(chunk, 1, static_cast<std::size_t>(n), out);
    std::fprintf(stamps, "%lld %lld\n", at, bytes / 4);
  }
  std::fclose(out);
  std::fclose(stamps);
  return 0;
}

bool ReadFrames(const char* path, std::vector<int>* loudness) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  std::int16_t frame[2];
  while (std::fread(frame, sizeof frame, 1, f) == 1)
    loudness->push_back(std::max(std::abs(static_cast<int>(frame[0])), std::abs(static_cast<int>(frame[1]))));
  std::fclose(f);
  return true;
}

int Analyse(const char* stampsPath, const char* recordingPath, const char* pressesPath, const char* effectPath) {
  FILE* stamps = std::fopen(stampsPath, "r");
  FILE* presses = std::fopen(pressesPath, "r");
  std::vector<int> recording, effect;
  if (stamps == nullptr || presses == nullptr || !ReadFrames(recordingPath, &recording) ||
      !ReadFrames(effectPath, &effect)) {
    std::fprintf(stderr, "press_latency: cannot read the stamps, presses, recording or effect\n");
    return 1;
  }
  double start = HUGE_VAL;  // time of day of frame 0, in microseconds
  long long at = 0, frames = 0;
  while (std::fscanf(stamps, "%lld %lld", &at, &frames) == 2)
    start = std::min(start, static_cast<double>(at) - static_cast<double>(frames) * 1e6 / kRate);
  std::fclose(stamps);
  std::size_t lead = 0;
  while (lead < effect.size() && effect[lead] < kThreshold) ++lead;
  if (start == HUGE_VAL || lead == effect.size()) {
    std::fprintf(stderr, "press_latency: no stamps, or an effect that never passes the threshold\n");
    return 1;
  }
  std::vector<double> latencies;
  std::vector<long long> pressTimes;
  long long press = 0;
  while (std::fscanf(presses, "%lld", &press) == 1) pressTimes.push_back(press);
  std::fclose(presses);
  for (std::size_t p = 0; p < pressTimes.size(); ++p) {
    // Look from the press to the next press (or the end).
    const double from = (static_cast<double>(pressTimes[p]) - start) * kRate / 1e6;
    const double to = p + 1 < pressTimes.size() ? (static_cast<double>(pressTimes[p + 1]) - start) * kRate / 1e6
                                                : static_cast<double>(recording.size());
    std::size_t k = static_cast<std::size_t>(std::max(0.0, from));
    const std::size_t end = std::min(recording.size(), static_cast<std::size_t>(std::max(0.0, to)));
    while (k < end && recording[k] < kThreshold) ++k;
    if (k >= end) {
      std::printf("press %zu: not found\n", p + 1);
      continue;
    }
    const double ms = (static_cast<double>(k) - static_cast<double>(lead) - from) * 1000.0 / kRate;
    std::printf("press %zu: %.1f ms\n", p + 1, ms);
    latencies.push_back(ms);
  }
  std::sort(latencies.begin(), latencies.end());
  const std::size_t n = latencies.size();
  if (n == 0) {
    std::printf("presses %zu found 0 median ? max ?\n", pressTimes.size());
    return 0;
  }
  const double median = n % 2 ? latencies[n / 2] : (latencies[n / 2 - 1] + latencies[n / 2]) / 2;
  std::printf("presses %zu found %zu median %.1f max %.1f\n", pressTimes.size(), n, median, latencies.back());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "record") == 0) return Record(argv[2], argv[3]);
  if (argc == 6 && std::strcmp(argv[1], "analyse") == 0) return Analyse(argv[2], argv[3], argv[4], argv[5]);
  std::fprintf(stderr,
               "usage: press_latency record STAMPS OUT.raw < RECORDING\n"
               "       press_latency analyse STAMPS OUT.raw PRESSES EFFECT.raw\n");
  return 2;
}
