// The engine fixture with a temporary directory of WAVE files to load.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/sound/engine_fixture.h"
#include "tests/wave/wave_test_files.h"
#include "velmo/platform/heap.h"
#include "velmo/sound/static_sound.h"

namespace velmo::testing {

class StaticSoundTest : public EngineTest {
 protected:
  // A mono 8-bit PCM file at `rate` holding `samples`.
  std::string WritePcm(const std::string& name, const Bytes& samples, std::uint32_t rate = 22050) {
    return dir.Write(name, PcmWave(samples, 1, rate, 8));
  }

  // A file whose "fmt " chunk carries `tag` with no extra format bytes.
  std::string WriteTagged(const std::string& name, std::uint16_t tag, const Bytes& samples) {
    Bytes fields = FormatFields(tag, 1, 22050, tag == WAVE_FORMAT_IEEE_FLOAT ? 32 : 8);
    PutWord(fields, 0);  // cbSize, read for every tag other than PCM
    Bytes body = Chunk("fmt ", fields);
    Append(body, Chunk("data", samples));
    return dir.Write(name, Riff(body));
  }

  // Starts the engine and loads one PCM file, forgetting the calls made.
  StaticSound* StartAndLoad(const Bytes& samples, std::uint32_t rate = 22050) {
    StartEngine();
    StaticSound* loaded = sound.LoadStatic(WritePcm("effect.wav", samples, rate).c_str());
    fake.ClearCalls();
    return loaded;
  }

  // The library never unloads a sound; a test on the real heap gives a
  // record back itself so that nothing is left allocated at its end.
  void Unload(StaticSound* loaded) {
    if (loaded == nullptr) return;
    sound.ReleaseStaticBuffer(loaded);
    GlobalFree(loaded->WaveFormat);
    GlobalFree(loaded->WaveData);
    GlobalFree(GlobalHandle(loaded));
  }

  TempDir dir;
};

}  // namespace velmo::testing
