// A 16-bit stereo PCM WAVE file that stays playable while it grows.
#pragma once

#include <cstdint>
#include <cstddef>
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
  // to date, so that a process killed at any point leaves a file whose
  // header describes exactly the frames written before it.  A write that
  // fails or ends short (a full disk) is taken back whole: the file is cut
  // to the frames the header already counts and false is returned.
  bool Append(const std::int16_t* stereo, std::size_t frames);
  void Close();
  // The bytes of samples the file holds, as its header counts them.
  std::uint32_t DataBytes() const { return dataBytes_; }

 private:
  bool WriteSizes();

  bool WriteAll(const std::uint8_t* bytes, std::size_t count);

  int fd_ = -1;
  std::uint32_t dataBytes_ = 0;
};

}  // namespace velmo
