#include "platform/audio/wave_file_writer.h"

#include <cstring>

namespace velmo {
namespace {

constexpr std::uint32_t kHeaderBytes = 44;
// A RIFF size field is 32 bits; the data stops growing before it overflows.
constexpr std::uint32_t kMaxDataBytes = 0xFFFFFFFFu - kHeaderBytes;

void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

bool WaveFileWriter::Open(const std::string& path, std::uint32_t sampleRate) {
  Close();
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) return false;
  std::uint8_t header[kHeaderBytes];
  std::memcpy(header, "RIFF", 4);
  Put32(header + 4, kHeaderBytes - 8);
  std::memcpy(header + 8, "WAVEfmt ", 8);
  Put32(header + 16, 16);
  Put16(header + 20, 1);  // PCM
  Put16(header + 22, 2);  // channels
  Put32(header + 24, sampleRate);
  Put32(header + 28, sampleRate * 4);
  Put16(header + 32, 4);   // block align
  Put16(header + 34, 16);  // bits per sample
  std::memcpy(header + 36, "data", 4);
  Put32(header + 40, 0);
  dataBytes_ = 0;
  if (std::fwrite(header, 1, sizeof header, file_) != sizeof header || std::fflush(file_) != 0) {
    Close();
    return false;
  }
  return true;
}

bool WaveFileWriter::Append(const std::int16_t* stereo, std::size_t frames) {
  if (file_ == nullptr) return false;
  std::size_t bytes = frames * 4;
  if (bytes > kMaxDataBytes - dataBytes_) bytes = (kMaxDataBytes - dataBytes_) / 4 * 4;
  if (bytes == 0) return frames == 0;
  std::uint8_t chunk[4096];
  std::size_t done = 0;
  while (done < bytes) {
    const std::size_t n = bytes - done < sizeof chunk ? bytes - done : sizeof chunk;
    for (std::size_t i = 0; i < n / 2; ++i) Put16(chunk + 2 * i, static_cast<std::uint16_t>(stereo[done / 2 + i]));
    if (std::fwrite(chunk, 1, n, file_) != n) return false;
    done += n;
  }
  // The samples go out first and the sizes after, so the header never
  // claims bytes the file does not hold.
  if (std::fflush(file_) != 0) return false;
  dataBytes_ += static_cast<std::uint32_t>(bytes);
  return WriteSizes();
}

bool WaveFileWriter::WriteSizes() {
  std::uint8_t field[4];
  Put32(field, kHeaderBytes - 8 + dataBytes_);
  if (std::fseek(file_, 4, SEEK_SET) != 0 || std::fwrite(field, 1, 4, file_) != 4) return false;
  Put32(field, dataBytes_);
  if (std::fseek(file_, 40, SEEK_SET) != 0 || std::fwrite(field, 1, 4, file_) != 4) return false;
  if (std::fseek(file_, 0, SEEK_END) != 0) return false;
  return std::fflush(file_) == 0;
}

void WaveFileWriter::Close() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
}

}  // namespace velmo
