// Builds RIFF/WAVE files byte by byte for the tests, and writes them into a
// temporary directory that disappears with the test.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmo::testing {

using Bytes = std::vector<std::uint8_t>;

inline void PutWord(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

inline void PutDword(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

inline void PutId(Bytes& out, const char (&id)[5]) { out.insert(out.end(), id, id + 4); }

inline void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// One chunk: identifier, size, data and the pad byte an odd size needs.
// `declaredSize` overrides the size field (for damaged files).
inline Bytes Chunk(const char (&id)[5], const Bytes& data, std::int64_t declaredSize = -1) {
  Bytes out;
  PutId(out, id);
  PutDword(out, declaredSize < 0 ? static_cast<std::uint32_t>(data.size()) : static_cast<std::uint32_t>(declaredSize));
  Append(out, data);
  if (data.size() % 2 == 1) out.push_back(0);
  return out;
}

// A RIFF chunk of form type `form` around `body`; its size field counts the
// form type and the body unless `declaredSize` says otherwise.
inline Bytes Riff(const Bytes& body, const char (&form)[5] = "WAVE", std::int64_t declaredSize = -1) {
  Bytes out;
  PutId(out, "RIFF");
  PutDword(out, declaredSize < 0 ? static_cast<std::uint32_t>(body.size() + 4) : static_cast<std::uint32_t>(declaredSize));
  PutId(out, form);
  Append(out, body);
  return out;
}

// The 16 format fields of a "fmt " chunk.
inline Bytes FormatFields(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
  const std::uint16_t align = static_cast<std::uint16_t>(channels * ((bits + 7) / 8));
  Bytes out;
  PutWord(out, tag);
  PutWord(out, channels);
  PutDword(out, rate);
  PutDword(out, rate * align);
  PutWord(out, align);
  PutWord(out, bits);
  return out;
}

inline Bytes PcmFmt(std::uint16_t channels = 2, std::uint32_t rate = 44100, std::uint16_t bits = 16) {
  return Chunk("fmt ", FormatFields(1, channels, rate, bits));
}

// Bytes 0, 1, 2, ... (mod 251, so that no run repeats on a power of two).
inline Bytes Pattern(std::size_t count, std::uint32_t seed = 0) {
  Bytes out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>((i + seed) % 251);
  return out;
}

// A plain PCM file: RIFF, "fmt " and "data".
inline Bytes PcmWave(const Bytes& samples, std::uint16_t channels = 2, std::uint32_t rate = 44100,
                     std::uint16_t bits = 16) {
  Bytes body = PcmFmt(channels, rate, bits);
  Append(body, Chunk("data", samples));
  return Riff(body);
}

// A temporary directory, removed with everything in it at destruction.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmo-wave-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }

  // Writes `bytes` to a file named `name` in the directory; returns its path.
  std::string Write(const std::string& name, const Bytes& bytes) const {
    const std::filesystem::path file = path_ / name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + file.string());
    return file.string();
  }

 private:
  std::filesystem::path path_;
};

}  // namespace velmo::testing
