// A 16-bit stereo PCM WAVE file that stays playable while it grows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace velmo {

class WaveFileWriter {
 public:
  WaveFileWriter() = default;
  ~WaveFileWriter() { Close(); }
  WaveFileWriter(const WaveFileWriter&) = delete;
  WaveFileWriter& operator=(const WaveFileWriter&) = delete;

  // Creates (or truncates) the file and writes a header for no data.
  bool Open(const std::string& path, std::uint32_t sampleRate);
  // Appends interleaved stereo frames, then brings the header's two sizes up
  // to date and flushes, so that a process killed at any point leaves a
  // file whose header describes exactly the frames written before it.
  bool Append(const std::int16_t* stereo, std::size_t frames);
  void Close();

 private:
  bool WriteSizes();

  std::FILE* file_ = nullptr;
  std::uint32_t dataBytes_ = 0;
};

}  // namespace velmo
