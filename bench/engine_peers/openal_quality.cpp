// How clean OpenAL Soft's resampler is at 15 kHz, measured as our
// resampler_quality measures ours: a 15 kHz sine in 16-bit mono at 44100 Hz
// played through its loopback device at 48000 Hz float stereo; the best
// fitting 15 kHz sine (least squares) is taken out of the left channel and
// what is left, against the sine, is the signal-to-error ratio in dB (its
// frequency is fitted too, and printed as the pitch error).
// The resampler is the one ALSOFT_CONF names (bench/engine_cpu.sh: bsinc12).
//
//   openal_quality      prints "openal-soft RESAMPLER 15000 Hz: SNR dB ..., pitch P %"
#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

int main() {
  // The loopback functions are extensions, found by name.
  auto open = reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
  ALCdevice* device = open != nullptr ? open(nullptr) : nullptr;
  auto render = device != nullptr
                    ? reinterpret_cast<LPALCRENDERSAMPLESSOFT>(alcGetProcAddress(device, "alcRenderSamplesSOFT"))
                    : nullptr;
  if (device == nullptr || render == nullptr) {
    std::fprintf(stderr, "openal_quality: no loopback device\n");
    return 1;
  }
  const ALCint attributes[] = {ALC_FREQUENCY, 48000, ALC_FORMAT_CHANNELS_SOFT, ALC_STEREO_SOFT,
                               ALC_FORMAT_TYPE_SOFT, ALC_FLOAT_SOFT, 0};
  ALCcontext* context = alcCreateContext(device, attributes);
  if (context == nullptr || !alcMakeContextCurrent(context)) return 1;
  std::string resampler = "unknown";
  if (auto getStringi = reinterpret_cast<LPALGETSTRINGISOFT>(alGetProcAddress("alGetStringiSOFT")))
    resampler = getStringi(AL_RESAMPLER_NAME_SOFT, alGetInteger(AL_DEFAULT_RESAMPLER_SOFT));
  constexpr double kTone = 15000, kIn = 44100, kOut = 48000;
  std::vector<std::int16_t> pcm(44100);
  for (std::size_t i = 0; i < pcm.size(); ++i)
    pcm[i] = static_cast<std::int16_t>(std::lround(0.5 * 32767 * std::sin(2 * M_PI * kTone * i / kIn)));
  ALuint buffer = 0, source = 0;
  alGenBuffers(1, &buffer);
  alBufferData(buffer, AL_FORMAT_MONO16, pcm.data(), static_cast<ALsizei>(pcm.size() * 2), 44100);
  alGenSources(1, &source);
  alSourcei(source, AL_SOURCE_RELATIVE, AL_TRUE);
  alSourcei(source, AL_BUFFER, static_cast<ALint>(buffer));
  alSourcei(source, AL_LOOPING, AL_TRUE);
  alSourcePlay(source);
  std::vector<float> out(2 * 24000);
  render(device, out.data(), 24000);  // settle: the source's start and any ramp
  render(device, out.data(), 24000);
  // The best fitting sine near 15 kHz, its frequency found too: OpenAL Soft
  // steps through the source in fixed point with a 12-bit fraction, so its
  // pitch is off by a little, which is not the resampler's noise.
  auto snrAt = [&](double tone) {
    double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
    for (std::size_t i = 0; i < 24000; ++i) {
      const double w = 2 * M_PI * tone * i / kOut, s = std::sin(w), c = std::cos(w), y = out[2 * i];
      ss += s * s; sc += s * c; cc += c * c; ys += y * s; yc += y * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
    double signal = 0, error = 0;
    for (std::size_t i = 0; i < 24000; ++i) {
      const double w = 2 * M_PI * tone * i / kOut, fit = a * std::sin(w) + b * std::cos(w);
      signal += fit * fit;
      error += (out[2 * i] - fit) * (out[2 * i] - fit);
    }
    return 10 * std::log10(signal / error);
  };
  double bestTone = kTone, best = snrAt(kTone);
  for (double span = 4.0; span > 0.0005; span /= 4)
    for (double tone = bestTone - span; tone <= bestTone + span; tone += span / 8)
      if (const double snr = snrAt(tone); snr > best) best = snr, bestTone = tone;
  for (char& c : resampler)
    if (c == ' ') c = '_';
  std::printf("openal-soft %s 15000 Hz: %.1f dB signal to error, pitch %+.4f %%\n", resampler.c_str(), best,
              (bestTone / kTone - 1) * 100);
  alDeleteSources(1, &source);
  alDeleteBuffers(1, &buffer);
  alcMakeContextCurrent(nullptr);
  alcDestroyContext(context);
  alcCloseDevice(device);
  return 0;
}
