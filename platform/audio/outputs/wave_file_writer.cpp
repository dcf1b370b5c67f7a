#include "platform/audio/outputs/wave_file_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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

bool WaveFileWriter::WriteAll(const std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(fd_, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

bool WaveFileWriter::Open(const std::string& path, std::uint32_t sampleRate) {
  Close();
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) return false;
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
  if (!WriteAll(header, sizeof header)) {
    Close();
    return false;
  }
  return true;
}

bool WaveFileWriter::Append(const std::int16_t* stereo, std::size_t frames) {
  if (fd_ < 0) return false;
  std::size_t bytes = frames * 4;
  if (bytes > kMaxDataBytes - dataBytes_) bytes = (kMaxDataBytes - dataBytes_) / 4 * 4;
  if (bytes == 0) return frames == 0;
  std::uint8_t chunk[4096];
  std::size_t done = 0;
  while (done < bytes) {
    const std::size_t n = bytes - done < sizeof chunk ? bytes - done : sizeof chunk;
    for (std::size_t i = 0; i < n / 2; ++i) Put16(chunk + 2 * i, static_cast<std::uint16_t>(stereo[done / 2 + i]));
    if (!WriteAll(chunk, n)) {
      // Whatever part of this append reached the file would sit inside the
      // data chunk without being counted, and the next append would land
      // after it: cut the file back to what the header describes.
      const off_t keep = static_cast<off_t>(kHeaderBytes) + dataBytes_;
      if (::ftruncate(fd_, keep) != 0 || ::lseek(fd_, keep, SEEK_SET) != keep) Close();
      return false;
    }
    done += n;
  }
  // The samples go out first and the sizes after, so the header never
  // claims bytes the file does not hold.
  dataBytes_ += static_cast<std::uint32_t>(bytes);
  return WriteSizes();
}

bool WaveFileWriter::WriteSizes() {
  std::uint8_t field[4];
  Put32(field, kHeaderBytes - 8 + dataBytes_);
  if (::pwrite(fd_, field, 4, 4) != 4) return false;
  Put32(field, dataBytes_);
  return ::pwrite(fd_, field, 4, 40) == 4;
}

void WaveFileWriter::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace velmo
