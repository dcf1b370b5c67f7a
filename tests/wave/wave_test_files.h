// WAVE files for the tests: the file layouts of tools/riff_builder.h, a byte
// pattern to fill them with, and a temporary directory to write them into
// that disappears with the test.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "tools/riff_builder.h"

namespace velmo::testing {

// Tests name the builder's functions as their own: Chunk, PcmWave, ...
using namespace velmo::riff;

// Bytes 0, 1, 2, ... (mod 251, so that no run repeats on a power of two).
inline Bytes Pattern(std::size_t count, std::uint32_t seed = 0) {
  Bytes out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>((i + seed) % 251);
  return out;
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
