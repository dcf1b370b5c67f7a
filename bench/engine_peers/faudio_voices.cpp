// FAudio (an XAudio2-style engine) playing N looping mono source voices
// into a 48000 Hz stereo mastering voice (see engine_run.h).  FAudio plays
// through SDL2; bench/engine_cpu.sh runs it on SDL's disk driver writing to
// /dev/null, which paces each period in real time.  Each source voice
// converts its own rate on the way to the master.
#include <FAudio.h>

#include "engine_run.h"

int main(int argc, char** argv) {
  engine_run::Settings s;
  if (!engine_run::ParseSettings(argc, argv, &s)) return 2;
  FAudio* audio = nullptr;
  if (FAudioCreate(&audio, 0, FAUDIO_DEFAULT_PROCESSOR) != 0) {
    std::fprintf(stderr, "faudio_voices: FAudioCreate failed\n");
    return 1;
  }
  FAudioMasteringVoice* master = nullptr;
  if (FAudio_CreateMasteringVoice(audio, &master, 2, engine_run::kOutputRate, 0, 0, nullptr) != 0) {
    std::fprintf(stderr, "faudio_voices: no mastering voice (no output device)\n");
    FAudio_Release(audio);
    return 1;
  }
  // One sound for every voice, or one of its own for each.
  std::vector<std::vector<std::int16_t>> sounds;
  for (int v = 0; v < (s.distinct ? s.voices : 1); ++v) sounds.push_back(engine_run::MakeSource(s.sourceRate, v));
  FAudioWaveFormatEx format{};
  format.wFormatTag = FAUDIO_FORMAT_PCM;
  format.nChannels = 1;
  format.nSamplesPerSec = static_cast<uint32_t>(s.sourceRate);
  format.wBitsPerSample = 16;
  format.nBlockAlign = 2;
  format.nAvgBytesPerSec = format.nSamplesPerSec * 2;
  std::vector<FAudioSourceVoice*> voices;
  for (int v = 0; v < s.voices; ++v) {
    FAudioSourceVoice* voice = nullptr;
    if (FAudio_CreateSourceVoice(audio, &voice, &format, 0, FAUDIO_DEFAULT_FREQ_RATIO, nullptr, nullptr, nullptr) !=
        0) {
      std::fprintf(stderr, "faudio_voices: source voice %d of %d refused\n", v + 1, s.voices);
      break;
    }
    const std::vector<std::int16_t>& pcm = sounds[s.distinct ? v : 0];
    FAudioBuffer buffer{};
    buffer.Flags = FAUDIO_END_OF_STREAM;
    buffer.AudioBytes = static_cast<uint32_t>(pcm.size() * 2);
    buffer.pAudioData = reinterpret_cast<const uint8_t*>(pcm.data());
    buffer.PlayBegin = static_cast<uint32_t>((v % 97) * pcm.size() / 97);
    buffer.LoopCount = FAUDIO_LOOP_INFINITE;
    FAudioSourceVoice_SubmitSourceBuffer(voice, &buffer, nullptr);
    FAudioVoice_SetVolume(voice, static_cast<float>(engine_run::VoiceLevel(s.voices)), FAUDIO_COMMIT_NOW);
    voices.push_back(voice);
  }
  for (FAudioSourceVoice* voice : voices) FAudioSourceVoice_Start(voice, 0, FAUDIO_COMMIT_NOW);
  const engine_run::Window window = engine_run::Play(s.seconds);
  // A voice still playing has a buffer queued and has moved on.
  int playing = 0;
  for (FAudioSourceVoice* voice : voices) {
    FAudioVoiceState state{};
    FAudioSourceVoice_GetState(voice, &state, 0);
    playing += state.BuffersQueued > 0 && state.SamplesPlayed > 0;
  }
  engine_run::Report("faudio", "linear", s, playing, window);
  for (FAudioSourceVoice* voice : voices) FAudioVoice_DestroyVoice(voice);
  FAudioVoice_DestroyVoice(master);
  FAudio_Release(audio);
  return 0;
}
