// OpenAL Soft playing N looping mono sources (see engine_run.h).  The
// backend, period and resampler come from the configuration file that
// bench/engine_cpu.sh names in ALSOFT_CONF (ALSOFT_DRIVERS=null: its null
// backend, which mixes in real time and discards the result).
#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>

#include "engine_run.h"

int main(int argc, char** argv) {
  engine_run::Settings s;
  if (!engine_run::ParseSettings(argc, argv, &s)) return 2;
  ALCdevice* device = alcOpenDevice(nullptr);
  if (device == nullptr) {
    std::fprintf(stderr, "openal_voices: no device opened\n");
    return 1;
  }
  // Ask for room for every voice: OpenAL Soft's default is 256 sources.
  const ALCint attributes[] = {ALC_FREQUENCY, engine_run::kOutputRate, ALC_MONO_SOURCES, s.voices > 0 ? s.voices : 1,
                               ALC_STEREO_SOURCES, 0, 0};
  ALCcontext* context = alcCreateContext(device, attributes);
  if (context == nullptr || !alcMakeContextCurrent(context)) {
    std::fprintf(stderr, "openal_voices: no context\n");
    return 1;
  }
  std::string resampler = "unknown";
  if (alIsExtensionPresent("AL_SOFT_source_resampler")) {
    auto getStringi = reinterpret_cast<LPALGETSTRINGISOFT>(alGetProcAddress("alGetStringiSOFT"));
    const ALint index = alGetInteger(AL_DEFAULT_RESAMPLER_SOFT);
    if (getStringi != nullptr) resampler = getStringi(AL_RESAMPLER_NAME_SOFT, index);
  }
  // One buffer for every voice, or one of its own for each.
  std::vector<ALuint> buffers(static_cast<std::size_t>(s.distinct ? s.voices : 1));
  alGenBuffers(static_cast<ALsizei>(buffers.size()), buffers.data());
  for (std::size_t b = 0; b < buffers.size(); ++b) {
    const std::vector<std::int16_t> pcm = engine_run::MakeSource(s.sourceRate, static_cast<int>(b));
    alBufferData(buffers[b], AL_FORMAT_MONO16, pcm.data(), static_cast<ALsizei>(pcm.size() * 2), s.sourceRate);
  }
  std::vector<ALuint> sources;
  for (int v = 0; v < s.voices; ++v) {
    ALuint source = 0;
    alGetError();
    alGenSources(1, &source);
    if (alGetError() != AL_NO_ERROR) {
      std::fprintf(stderr, "openal_voices: source %d of %d refused\n", v + 1, s.voices);
      break;
    }
    // Head-relative at the listener: mono played straight to both sides.
    alSourcei(source, AL_SOURCE_RELATIVE, AL_TRUE);
    alSource3f(source, AL_POSITION, 0, 0, 0);
    alSourcei(source, AL_BUFFER, static_cast<ALint>(buffers[s.distinct ? v : 0]));
    alSourcei(source, AL_LOOPING, AL_TRUE);
    alSourcef(source, AL_GAIN, static_cast<ALfloat>(engine_run::VoiceLevel(s.voices)));
    alSourcef(source, AL_SEC_OFFSET, static_cast<ALfloat>(v % 97) / 97.0f);
    sources.push_back(source);
  }
  for (ALuint source : sources) alSourcePlay(source);
  const engine_run::Window window = engine_run::Play(s.seconds);
  int playing = 0;
  for (ALuint source : sources) {
    ALint state = 0;
    alGetSourcei(source, AL_SOURCE_STATE, &state);
    playing += state == AL_PLAYING;
  }
  engine_run::Report("openal-soft", resampler, s, playing, window);
  if (!sources.empty()) alDeleteSources(static_cast<ALsizei>(sources.size()), sources.data());
  alDeleteBuffers(static_cast<ALsizei>(buffers.size()), buffers.data());
  alcMakeContextCurrent(nullptr);
  alcDestroyContext(context);
  alcCloseDevice(device);
  return 0;
}
