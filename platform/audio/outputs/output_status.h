// The state GetAudioOutputState reads: which output the device started last
// plays through, on which device, whether it is connected and at what
// latency.  The device publishes it when its output opens and withdraws it
// when it goes; the output's threads note what changes.  All of it sits
// behind one mutex, taken by the device's and the outputs' control threads
// (never by an audio callback) and by the program's reads.
#pragma once

#include <cstdint>
#include <string>

#include "velmo/platform/audio_output_state.h"

namespace velmo {

// Makes `state` the one GetAudioOutputState answers, on behalf of `owner`
// (the device), in place of any other device's.
void PublishOutputStatus(const void* owner, const AudioOutputState& state);
// Back to "no device plays", if `owner` is still the one published.
void WithdrawOutputStatus(const void* owner);
// The output of `owner` was lost, or plays again.
void NoteOutputConnected(const void* owner, bool connected);
// The chosen device went away (the default plays), or is back.
void NoteChosenDeviceAway(bool away);
// The frames of the output's latest cycle, when they are what its latency
// is (the pipewire output's quantum, which the graph may change).
void NoteOutputCycleFrames(std::uint32_t frames);

}  // namespace velmo
