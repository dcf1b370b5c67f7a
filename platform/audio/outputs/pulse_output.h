// The output to a PulseAudio server, through its own client library.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio/audio_output.h"

namespace velmo {

// The stream's buffer, in frames, for a latency: `target` is the whole
// latency the stream asks the server for (tlength), `request` the piece the
// server asks for at a time (minreq: a quarter of it, at least 64 frames),
// which is also the mixer's pass.
struct PulseBufferFrames {
  std::uint32_t target = 0;
  std::uint32_t request = 0;
};
constexpr PulseBufferFrames PulseBufferFor(std::uint32_t rate, std::uint32_t latencyMs) {
  const auto target = static_cast<std::uint32_t>(static_cast<std::uint64_t>(rate) * latencyMs / 1000);
  std::uint32_t request = target / 4;
  if (request < 64) request = 64;
  return {target < 2 * request ? 2 * request : target, request};
}

// Plays into a PulseAudio server (PulseAudio itself, or PipeWire's
// pipewire-pulse) as one playback stream of its own, float stereo at the
// output's rate, on a pa_threaded_mainloop.
//
// The stream asks for the latency as its target length (tlength) with
// PA_STREAM_ADJUST_LATENCY, so the server sets the sink's own latency from
// it and the stream's queue and the sink's together come to about the
// latency; the server asks for more once a quarter of it has played
// (minreq).  prebuf is the whole target: a stream that ran dry starts again
// once the server has asked for and got a full queue, which the write
// callback gives in one go.  maxlength is four times the target, room the
// callback never uses since it writes only what is asked.
//
// The write callback runs on the mainloop's thread, which holds libpulse's
// lock while it dispatches: it mixes exactly what the server asks for,
// straight into memory the stream lends (pulse_stream_writer.h), with no
// lock, allocation or log of ours.  Everything else of the output (its
// 20 ms tick, the stream's and context's state, the sink events) runs on
// that thread too, and the callers (Open, Close) take the mainloop's lock:
// so nothing of the output's state is ever touched by two threads at once,
// and no mix runs while the tick reports a loss or a restoration.
//
// The library is loaded at run time (libpulse.so.0), not linked: a machine
// without it never loads it, and the package does not depend on it.
//
// Losing the server.  A context that fails (the server gone) or a stream
// that fails is torn down at the next tick, and the output reported lost;
// a new context is tried every 250 ms until one connects, and a stream made
// on it.  The new stream's first fill is silence; the output is restored
// at the first tick that saw the server ask at the pace of real time.
//
// A server that stops asking while connected (stopped, or hung) is taken
// for lost once it has not asked for kStallLimitMs; the time since it last
// asked is mixed into nothing first, so the music carries on where it
// would be.  The stream is kept, and the output is restored once a tick
// sees the server ask at the pace of real time again: a server that was
// held up may first ask for a whole queue at once, time the device has
// already kept.
//
// The device.  With no device named, the stream is connected without one:
// the server plays it on its default sink, and moves it when the user
// changes the default.  With one named, the stream is connected to that
// sink; the output watches the server's sinks (a subscription), and when
// the sink goes away (the server moves the stream to the default) says so
// in one line; when it is back the output moves the stream back to it
// (PulseAudio moves streams away from a sink that goes, but never back),
// and says so.  A sink that is gone when the output connects anew (say, the
// server restarted without it) is waited for on the default the same way.
class PulseOutput final : public AudioOutput {
 public:
  static constexpr std::uint32_t kDefaultLatencyMs = 20;  // chosen by measurement: see the README
  static constexpr std::uint32_t kStallLimitMs = 500;

  // `latencyMs` 0 takes the default.  `target` names the sink (its name as
  // the server lists it); empty plays on the server's default.
  explicit PulseOutput(std::uint32_t rate, std::uint32_t latencyMs = 0, std::string target = {});
  ~PulseOutput() override;
  std::uint32_t SampleRate() const override { return rate_; }
  std::uint32_t PeriodFrames() const override { return buffer_.request; }
  double RunningLatencyMs() const override { return 1000.0 * buffer_.target / rate_; }
  bool Open(MixSource& source, OutputEvents& events) override;
  void Close() override;

  struct Connection;  // the mainloop, context and stream (pulse_output.cpp)

 private:
  const std::uint32_t rate_;
  const PulseBufferFrames buffer_;
  const std::string target_;
  std::unique_ptr<Connection> connection_;
};

// Whether a PulseAudio server answers here: its socket takes a connection
// (or, with PULSE_SERVER set, a context connects to the server it names)
// and libpulse loads.  Asked anew at each call.
bool PulseServerAnswers();

}  // namespace velmo
