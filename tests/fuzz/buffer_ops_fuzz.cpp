// Random sequences of buffer calls against the software device on a manual
// output, checking the buffer contract as they go.
//
//   cmake --preset fuzz && cmake --build --preset fuzz --target buffer_ops_fuzz
//   build/fuzz/tests/fuzz/buffer_ops_fuzz -max_total_time=600
//
// Two devices run in lockstep: every call goes to both, with the same
// arguments and the same bytes, and every pass of the two mixers must come
// out bit for bit the same.  The one exception is the probe of the write
// cursor: bytes written outside the span between the play and the write
// cursor differ between the two devices, and the pass that follows must
// still be the same on both, since no pass may read past the write cursor.
// Afterwards the second device gets the first one's bytes, and the two are
// in step again.  One-shots are also played to their end while their
// looping mode changes on the way: a Play that succeeds leaves the buffer
// playing in the mode asked for, and a one-shot ends.  Buffers are also
// duplicated, on both devices alike: a duplicate starts stopped at offset 0
// and shares its original's memory, so duplicates and originals are released
// in any order and the memory must live on for the ones left (AddressSanitizer
// sees a read of freed memory).  Besides: cursors stay inside the buffer (and on a frame
// where the length is a whole number of frames), locks come back as one or
// two regions adding up to the length asked for, the mix stays finite and
// within full scale, and nothing leaks (LeakSanitizer at exit).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/testing/manual_output.h"
#include "velmo/platform/dsound.h"

namespace velmo {
namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "contract broken: %s\n", what);
    std::abort();
  }
}

struct Twin {
  ManualOutput* output = nullptr;
  IDirectSound* device = nullptr;
};

struct Pair {
  IDirectSoundBuffer* buffer[2] = {nullptr, nullptr};
  DWORD length = 0;
  unsigned align = 1;
  int sound = 0;  // pairs with the same number share their memory
};

WAVEFORMATEX RandomFormat(FuzzedDataProvider& in) {
  static constexpr WORD kBits[] = {8, 16, 24, 32};
  WAVEFORMATEX f{};
  const bool isFloat = in.ConsumeBool() && in.ConsumeBool();
  f.wFormatTag = isFloat ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
  f.nChannels = in.ConsumeIntegralInRange<WORD>(1, 8);
  f.wBitsPerSample = isFloat ? 32 : kBits[in.ConsumeIntegralInRange<int>(0, 3)];
  f.nSamplesPerSec = in.ConsumeBool() ? in.PickValueInArray({22050u, 44100u, 48000u})
                                      : in.ConsumeIntegralInRange<DWORD>(DSBFREQUENCY_MIN, DSBFREQUENCY_MAX);
  f.nBlockAlign = static_cast<WORD>(f.nChannels * f.wBitsPerSample / 8);
  f.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
  return f;
}

// The same bytes for both devices' regions.
void Fill(FuzzedDataProvider& in, std::vector<std::uint8_t>& bytes, DWORD count) {
  bytes.resize(count);
  const std::uint8_t seed = in.ConsumeIntegral<std::uint8_t>();
  for (DWORD i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 37 + (i >> 7));
}

void CheckCursors(const Pair& p) {
  for (IDirectSoundBuffer* b : p.buffer) {
    DWORD play = 0, write = 0;
    Check(b->GetCurrentPosition(&play, &write) == DS_OK, "GetCurrentPosition fails");
    Check(play < p.length && write < p.length, "a cursor outside the buffer");
    if (p.length % p.align == 0) Check(play % p.align == 0, "a play cursor inside a frame");
  }
}

// Locks [offset, offset + count) on one buffer and writes `bytes` into it.
bool WriteInto(IDirectSoundBuffer* b, const Pair& p, DWORD offset, DWORD count, const std::uint8_t* bytes) {
  void *p1 = nullptr, *p2 = nullptr;
  DWORD n1 = 0, n2 = 0;
  const HRESULT hr = b->Lock(offset, count, &p1, &n1, &p2, &n2, 0);
  if (hr != DS_OK) return false;
  Check(n1 + n2 == count, "lock lengths do not add up");
  Check(n1 == std::min(count, p.length - offset), "first region not up to the end");
  Check((n2 == 0) == (p2 == nullptr), "second region without length");
  std::memcpy(p1, bytes, n1);
  if (n2 > 0) std::memcpy(p2, bytes + n1, n2);
  Check(b->Unlock(p1, n1, p2, n2) == DS_OK, "Unlock of a fresh lock fails");
  return true;
}

void RenderBoth(Twin* twins, std::vector<float>* mixes, std::size_t frames) {
  for (int t = 0; t < 2; ++t) {
    mixes[t].assign(2 * frames, 0.0f);
    twins[t].output->RenderInto(mixes[t].data(), frames);
  }
  Check(std::memcmp(mixes[0].data(), mixes[1].data(), mixes[0].size() * sizeof(float)) == 0,
        "the twin devices mixed differently");
  for (float v : mixes[0]) Check(std::isfinite(v) && v >= -1.0f && v <= 1.0f, "a sample beyond full scale");
}

DWORD StatusOf(IDirectSoundBuffer* b) {
  DWORD status = 0;
  Check(b->GetStatus(&status) == DS_OK, "GetStatus fails");
  return status;
}

// Plays a pair as a one-shot and changes its looping mode on the way, with
// passes in between, then (when the end is near enough to reach quickly)
// plays it as a one-shot to its end.  A Play that succeeds leaves the buffer
// playing, in the mode it asked for, until a one-shot reaches its end; a
// looping buffer never ends by itself.
void PlayOneShotToItsEnd(FuzzedDataProvider& in, Twin* twins, std::vector<float>* mixes, const Pair& p,
                         std::uint32_t period, std::uint32_t rate) {
  auto play = [&](DWORD flags) {
    const HRESULT a = p.buffer[0]->Play(0, 0, flags);
    Check(a == p.buffer[1]->Play(0, 0, flags), "the twins disagree on Play");
    if (a != DS_OK) return false;
    const DWORD expected = DSBSTATUS_PLAYING | ((flags & DSBPLAY_LOOPING) ? DSBSTATUS_LOOPING : 0);
    for (IDirectSoundBuffer* b : p.buffer) Check(StatusOf(b) == expected, "a Play that succeeded left it stopped");
    return true;
  };
  if (!play(0)) return;  // lost
  const int changes = in.ConsumeIntegralInRange<int>(0, 4);
  bool looping = false;
  for (int i = 0; i < changes; ++i) {
    const std::size_t frames = period * in.ConsumeIntegralInRange<std::uint32_t>(0, 2) + in.ConsumeIntegral<std::uint8_t>();
    if (frames > 0) RenderBoth(twins, mixes, frames);
    if (looping) Check(StatusOf(p.buffer[0]) == (DSBSTATUS_PLAYING | DSBSTATUS_LOOPING), "a loop ended");
    looping = in.ConsumeBool();
    if (!play(looping ? DSBPLAY_LOOPING : 0)) return;
  }
  if (looping && !play(0)) return;
  // The source frames left, at the buffer's frequency, in output frames,
  // plus the interpolator's tail and a pass of slack.
  DWORD play0 = 0, write0 = 0, hz = 0;
  Check(p.buffer[0]->GetCurrentPosition(&play0, &write0) == DS_OK, "GetCurrentPosition fails");
  Check(p.buffer[0]->GetFrequency(&hz) == DS_OK, "GetFrequency fails");
  const std::uint64_t left = (p.length - play0) / p.align + 1;
  const std::uint64_t frames = left * rate / hz + 2 * period + 256;
  if (frames > (1u << 16)) return;
  for (std::uint64_t done = 0; done < frames && (StatusOf(p.buffer[0]) & DSBSTATUS_PLAYING); done += period)
    RenderBoth(twins, mixes, period);
  for (IDirectSoundBuffer* b : p.buffer) Check(StatusOf(b) == 0, "a one-shot did not end");
}

}  // namespace
}  // namespace velmo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmo;
  FuzzedDataProvider in(data, size);
  const std::uint32_t rate = in.PickValueInArray({22050u, 44100u, 48000u});
  const std::uint32_t period = in.PickValueInArray({64u, 128u, 512u});
  Twin twins[2];
  for (Twin& t : twins) {
    t.device = CreateManualAudioDevice(&t.output, rate, period);
    Check(t.device != nullptr && t.device->Initialize(nullptr) == DS_OK, "the device does not start");
  }
  std::vector<Pair> pairs;
  std::vector<std::uint8_t> bytes, other;
  std::vector<float> mixes[2];
  bool removed = false;
  int sounds = 0;

  for (int step = 0; step < 256 && in.remaining_bytes() > 0; ++step) {
    const int op = in.ConsumeIntegralInRange<int>(0, 13);
    if (op == 0 || pairs.empty()) {
      if (pairs.size() >= 4) continue;
      WAVEFORMATEX format = RandomFormat(in);
      DSBUFFERDESC desc{sizeof(DSBUFFERDESC), DSBCAPS_CTRLVOLUME | DSBCAPS_CTRLPAN | DSBCAPS_CTRLFREQUENCY,
                        in.ConsumeIntegralInRange<DWORD>(DSBSIZE_MIN, 1 << 16), 0, &format};
      Pair p{{nullptr, nullptr}, desc.dwBufferBytes, format.nBlockAlign, ++sounds};
      const HRESULT a = twins[0].device->CreateSoundBuffer(&desc, &p.buffer[0], nullptr);
      const HRESULT b = twins[1].device->CreateSoundBuffer(&desc, &p.buffer[1], nullptr);
      Check(a == b, "the twins disagree on a format");
      if (a == DS_OK) pairs.push_back(p);
      continue;
    }
    const std::size_t which = in.ConsumeIntegralInRange<std::size_t>(0, pairs.size() - 1);
    Pair& p = pairs[which];
    switch (op) {
      case 1:  // release
        for (IDirectSoundBuffer* b : p.buffer) Check(b->Release() == 0, "a buffer still referenced");
        pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(which));
        break;
      case 2: {  // the same bytes into the same span of both
        const DWORD offset = in.ConsumeIntegralInRange<DWORD>(0, p.length - 1);
        const DWORD count = in.ConsumeIntegralInRange<DWORD>(1, p.length);
        Fill(in, bytes, count);
        const bool a = WriteInto(p.buffer[0], p, offset, count, bytes.data());
        const bool b = WriteInto(p.buffer[1], p, offset, count, bytes.data());
        Check(a == b, "the twins disagree on a lock");
        break;
      }
      case 3: {  // different bytes behind the play cursor, then a pass
        // Only where no other buffer plays the same memory from elsewhere.
        if (std::count_if(pairs.begin(), pairs.end(), [&](const Pair& q) { return q.sound == p.sound; }) > 1) break;
        DWORD play = 0, write = 0;
        Check(p.buffer[0]->GetCurrentPosition(&play, &write) == DS_OK, "GetCurrentPosition fails");
        // Free space: from the write cursor round to the play cursor.  A
        // buffer shorter than what one pass reads has none (the write
        // cursor then stands just behind the play cursor).
        const DWORD free = write >= play ? p.length - (write - play) : play - write;
        if (free <= 1) break;
        const DWORD count = in.ConsumeIntegralInRange<DWORD>(1, free);
        Fill(in, bytes, count);
        other.assign(bytes.size(), 0);
        for (std::size_t i = 0; i < other.size(); ++i) other[i] = static_cast<std::uint8_t>(~bytes[i]);
        const bool a = WriteInto(p.buffer[0], p, write, count, bytes.data());
        const bool b = WriteInto(p.buffer[1], p, write, count, other.data());
        Check(a == b, "the twins disagree on a lock");
        RenderBoth(twins, mixes, period);  // must not have read the bytes that differ
        if (b) WriteInto(p.buffer[1], p, write, count, bytes.data());
        break;
      }
      case 4: {
        const DWORD position = in.ConsumeIntegralInRange<DWORD>(0, p.length - 1);
        for (IDirectSoundBuffer* b : p.buffer) Check(b->SetCurrentPosition(position) == DS_OK, "seek fails");
        break;
      }
      case 5: {
        const DWORD flags = in.ConsumeBool() ? DSBPLAY_LOOPING : 0;
        const HRESULT a = p.buffer[0]->Play(0, 0, flags);
        Check(a == p.buffer[1]->Play(0, 0, flags), "the twins disagree on Play");
        break;
      }
      case 6:
        for (IDirectSoundBuffer* b : p.buffer) Check(b->Stop() == DS_OK, "Stop fails");
        break;
      case 7: {
        const DWORD hz = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<DWORD>(DSBFREQUENCY_MIN, DSBFREQUENCY_MAX);
        for (IDirectSoundBuffer* b : p.buffer) Check(b->SetFrequency(hz) == DS_OK, "SetFrequency fails");
        break;
      }
      case 8: {
        const LONG volume = in.ConsumeIntegralInRange<LONG>(DSBVOLUME_MIN, DSBVOLUME_MAX);
        const LONG pan = in.ConsumeIntegralInRange<LONG>(DSBPAN_LEFT, DSBPAN_RIGHT);
        for (IDirectSoundBuffer* b : p.buffer) Check(b->SetVolume(volume) == DS_OK && b->SetPan(pan) == DS_OK, "gain");
        break;
      }
      case 9:
        RenderBoth(twins, mixes, period * in.ConsumeIntegralInRange<std::uint32_t>(1, 4));
        break;
      case 10:  // the device goes away, or comes back
        removed = !removed;
        for (Twin& t : twins) removed ? t.output->SimulateRemoval() : t.output->SimulateReopen();
        break;
      case 11: {
        // Nothing is ever lost, away or not.
        const HRESULT a = p.buffer[0]->Restore();
        Check(a == DS_OK && p.buffer[1]->Restore() == DS_OK, "Restore fails");
        break;
      }
      case 12:
        PlayOneShotToItsEnd(in, twins, mixes, p, period, rate);
        break;
      case 13: {  // a duplicate, which shares the memory and starts stopped at 0
        if (pairs.size() >= 8) break;
        Pair d = p;
        const HRESULT a = twins[0].device->DuplicateSoundBuffer(p.buffer[0], &d.buffer[0]);
        const HRESULT b = twins[1].device->DuplicateSoundBuffer(p.buffer[1], &d.buffer[1]);
        Check(a == b, "the twins disagree on a duplicate");
        Check(a == DS_OK, "a live buffer refused as an original");
        for (IDirectSoundBuffer* b : d.buffer) {
          DSBCAPS caps{};
          caps.dwSize = sizeof(DSBCAPS);
          Check(b->GetCaps(&caps) == DS_OK && caps.dwBufferBytes == p.length, "a duplicate of another size");
          Check(StatusOf(b) == 0, "a duplicate that does not start stopped");
          DWORD play = 1;
          Check(b->GetCurrentPosition(&play, nullptr) == DS_OK && play == 0, "a duplicate not at the start");
        }
        pairs.push_back(d);
        break;
      }
    }
    for (const Pair& q : pairs) CheckCursors(q);
  }
  for (Pair& p : pairs)
    for (IDirectSoundBuffer* b : p.buffer) b->Release();
  for (Twin& t : twins) t.device->Release();
  return 0;
}
