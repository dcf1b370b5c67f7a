// The interface between the software device and whatever carries its mixed
// signal away: a sound card through SDL, nothing, a file, or a test.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmo {

// What an output pulls its signal from.  Render fills `frames` interleaved
// stereo float frames; it never blocks and never allocates, so an output may
// call it from a real-time thread.
class MixSource {
 public:
  virtual void Render(float* stereo, std::size_t frames) = 0;

 protected:
  ~MixSource() = default;
};

// What an output tells the device about the sound device behind it.  Both
// calls come from a thread of the output's own (its watcher or its loop),
// never from inside Render, and never while Render runs on another thread;
// they alternate: lost, restored, lost, ...  The thread that makes them may
// itself call Render between them, with the audio callback withdrawn: the
// sdl and pipewire outputs mix the time a stalled server left unmixed there
// just before they report the loss.
//
// An output that loses its sound device (removed, its server gone, or no
// longer calling back) first makes sure that Render is not running and will
// not be called, and only then calls OnOutputLost.  From then on the device
// keeps time itself: it goes on mixing at real time into nothing, so that
// every buffer keeps its samples and its state, cursors advance and
// one-shots end, as if the sound were still heard.
//
// Once a sound device is open again, the output calls OnOutputRestored
// before it calls Render for the first time on it.  The device has stopped
// keeping time by the time the call returns, so the two never mix at once.
class OutputEvents {
 public:
  virtual void OnOutputLost() = 0;
  virtual void OnOutputRestored() = 0;

 protected:
  ~OutputEvents() = default;
};

// An output always runs in interleaved stereo at a fixed rate.
class AudioOutput {
 public:
  virtual ~AudioOutput() = default;
  // The rate the mixer must produce, known before Open.
  virtual std::uint32_t SampleRate() const = 0;
  // The number of frames the output takes at a time.
  virtual std::uint32_t PeriodFrames() const = 0;
  // The latency the output asks for, in milliseconds, for the program to
  // read (GetAudioOutputState): one period unless the output keeps a queue
  // of its own at the server.
  virtual double RunningLatencyMs() const { return 1000.0 * PeriodFrames() / SampleRate(); }
  // Starts pulling from `source`.  Returns false if the output cannot start.
  virtual bool Open(MixSource& source, OutputEvents& events) = 0;
  // Stops pulling; once it returns, Render is not called again.
  virtual void Close() = 0;
};

}  // namespace velmo
