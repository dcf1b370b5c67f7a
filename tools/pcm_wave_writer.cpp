#include "tools/pcm_wave_writer.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "tools/riff_builder.h"

namespace velmo::tools {
namespace {

float Clip(float v) { return v < -1.0f ? -1.0f : (v > 1.0f ? 1.0f : v); }

}  // namespace

std::vector<std::uint8_t> EncodePcm(const PcmFormat& format, const std::vector<float>& interleaved) {
  std::vector<std::uint8_t> out;
  if (format.bitsPerSample == 8) {
    out.reserve(interleaved.size());
    for (float v : interleaved) {
      const long q = std::lround(Clip(v) * 127.0f) + 128;
      out.push_back(static_cast<std::uint8_t>(q));
    }
  } else if (format.bitsPerSample == 16) {
    out.reserve(interleaved.size() * 2);
    for (float v : interleaved) {
      const long q = std::lround(Clip(v) * 32767.0f);
      riff::PutWord(out, static_cast<std::uint16_t>(static_cast<std::int16_t>(q)));
    }
  } else {
    throw std::invalid_argument("only 8-bit and 16-bit PCM can be written");
  }
  return out;
}

std::vector<std::uint8_t> BuildPcmWave(const PcmFormat& format, const std::vector<std::uint8_t>& sampleBytes) {
  return riff::PcmWave(sampleBytes, format.channels, format.sampleRate, format.bitsPerSample);
}

bool WritePcmWave(const std::string& path, const PcmFormat& format, const std::vector<float>& interleaved,
                  std::string* error) {
  const std::vector<std::uint8_t> image = BuildPcmWave(format, EncodePcm(format, interleaved));
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(image.data(), 1, image.size(), file) == image.size();
  const int writeErrno = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    if (error) *error = path + ": " + std::strerror(written ? errno : writeErrno);
    // A cut-short file would only mislead whoever reads it next; devices and
    // other special files are left alone.
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec)) std::filesystem::remove(path, ec);
    return false;
  }
  return true;
}

}  // namespace velmo::tools
