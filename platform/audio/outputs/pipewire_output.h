// The output to a PipeWire server, through its own client library.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio/audio_output.h"

namespace velmo {

// The native output's quantum for a latency: the power of two of frames
// nearest (by ratio) to the latency, from 64 to 8192 frames.  256 frames at
// 48000 Hz is 5.3 ms.
constexpr std::uint32_t PipeWireQuantumFor(std::uint32_t rate, std::uint32_t latencyMs) {
  const std::uint64_t frames = static_cast<std::uint64_t>(rate) * latencyMs / 1000;
  std::uint32_t quantum = 64;
  // Up while the next power of two is nearer by ratio: q*2 <= frames*sqrt2,
  // squared to stay in whole numbers.
  while (quantum < 8192 && static_cast<std::uint64_t>(quantum) * quantum * 2 < frames * frames) quantum *= 2;
  return quantum;
}

// Plays into the graph of a PipeWire server as a playback stream of its own
// (a pw_stream on a pw_thread_loop), float stereo at the output's rate,
// mixed straight into the buffer the server hands over.  The server runs its
// whole graph in cycles of one quantum; the stream asks for a quantum that
// matches the latency (node.latency), and the graph runs at the smallest
// any active stream asks for.  A pressed sound is therefore heard one or two
// quanta later, with no queue of ours in between.
//
// Each cycle is mixed in the stream's process callback, on PipeWire's
// real-time data thread: exactly the frames the cycle asks for (the
// buffer's `requested`, or its room when the server gives none), so a
// quantum another program forces, or a change of it mid-play, is followed
// at once.  The mixer is asked for at most PeriodFrames at a time, the
// largest pass its buffers' write cursors allow for.
//
// The library is loaded at run time (libpipewire-0.3.so.0), not linked: a
// machine without it runs exactly as before, through SDL, and neither the
// installed library nor its static archive asks for it at link time.
//
// Losing the server.  A core error (the server gone), a stream error or a
// stream that falls back to unconnected is noted by the loop's callbacks;
// the loop's own timer, which runs every 20 ms, then stops the process
// callback from mixing (it renders silence from then on), waits for a mix
// in flight to end, tears down the stream and core, and reports the output
// lost.  It tries a new core and stream every 250 ms until one connects,
// all through the one context made at Open (a context loads modules and
// starts a real-time thread; a core is one connection to the server).  A connected stream is never torn down for want of a
// sink: the session manager links it when a sink appears, and until then
// the stream waits.  The output is reported restored when the process
// callback of the new stream has run (so the stream is linked and
// playing), just before the mixer is asked for its first cycle.
//
// A server that stops calling back while connected (stopped, or hung) is
// taken for lost the same way once the callback, having run, has not run
// for kStallLimit; the stream is kept, and the output is restored once its
// callback runs again at the pace of real time (a driver that was held up
// may first race through the cycles it missed, whose time the device has
// already kept).
class PipeWireOutput final : public AudioOutput {
 public:
  static constexpr std::uint32_t kDefaultLatencyMs = 5;  // 256 frames at 48000 Hz
  static constexpr std::uint32_t kStallLimitMs = 500;

  // `latencyMs` 0 takes the default.
  // `target` names the sink (its node name) the stream asks to be linked
  // to; empty leaves the choice to the session manager (the default).
  explicit PipeWireOutput(std::uint32_t rate, std::uint32_t latencyMs = 0, std::string target = {});
  ~PipeWireOutput() override;
  std::uint32_t SampleRate() const override { return rate_; }
  std::uint32_t PeriodFrames() const override { return quantum_; }
  std::uint32_t QuantumFrames() const { return quantum_; }
  bool Open(MixSource& source, OutputEvents& events) override;
  void Close() override;

  // Since Open: the contexts made (one, however often the output
  // reconnects) and the connections tried.  0 when not open.
  std::uint64_t ContextsCreated() const;
  std::uint64_t ConnectAttempts() const;
  // Since Open: the stream's cycles, and those that came late by the
  // graph's clock (or after cycles skipped), counted on the data thread and
  // only read here.  With VELMO_DEBUG=1, Close says both on standard error.
  std::uint64_t Cycles() const;
  std::uint64_t LateCycles() const;

  struct Connection;  // the loop, context, core and stream (pipewire_output.cpp)

 private:
  const std::uint32_t rate_;
  const std::uint32_t quantum_;
  const std::string target_;
  std::unique_ptr<Connection> connection_;
};

// What the output makes of the libpipewire it loads, by the version that
// library reports at run time (pw_get_library_version: "MAJOR.MINOR.MICRO"),
// which may be older or newer than the headers it was built with.
//
// Empty when the output can use that library, else why not.  The output
// reads pw_buffer's `requested`, which sizes each cycle and exists from
// 0.3.50 on: an older library hands over a shorter pw_buffer, and reading
// the field would read past it.  Such a library is refused, and the output
// chosen by default is then the next one, as when no PipeWire server
// answers (Ubuntu 22.04 ships 0.3.48).
std::string PipeWireLibraryUnfit(const char* version);
// The client configuration the output's context asks that library for.
// client-rt.conf set up the real-time data thread until PipeWire 1.3.81,
// which moved its settings into client.conf and warns on standard error
// whenever client-rt.conf is asked for.
const char* PipeWireClientConfig(const char* version);

// Whether a PipeWire server answers here: libpipewire loads and the
// server's socket accepts a connection.  Asked anew at each call (a
// connect() on a local socket, no round trip).
bool PipeWireServerAnswers();

}  // namespace velmo
