// A minimal writer of PCM WAVE files: a RIFF header, a 16-byte "fmt " chunk
// and one "data" chunk, all little-endian.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmo::tools {

struct PcmFormat {
  std::uint32_t sampleRate;
  std::uint16_t channels;
  std::uint16_t bitsPerSample;  // 8 (unsigned) or 16 (signed)
};

// Converts interleaved samples in [-1, 1] (values outside are clipped) to the
// format's sample bytes: 8-bit samples are unsigned with silence at 0x80,
// 16-bit samples are signed little-endian with silence at 0.
std::vector<std::uint8_t> EncodePcm(const PcmFormat& format, const std::vector<float>& interleaved);

// The whole file image of `sampleBytes` in `format`.
std::vector<std::uint8_t> BuildPcmWave(const PcmFormat& format, const std::vector<std::uint8_t>& sampleBytes);

// Writes the file; on failure returns false and says why in `error`.
bool WritePcmWave(const std::string& path, const PcmFormat& format, const std::vector<float>& interleaved,
                  std::string* error);

}  // namespace velmo::tools
