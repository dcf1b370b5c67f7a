// velmo-make-samples DIR: writes the five demo sounds the sample program
// opens (sfx1.wav, sfx2.wav, sfx3.wav, bgm1.wav, bgm2.wav) into DIR, creating
// DIR if needed.  Existing files of those names are replaced.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "tools/demo_sounds.h"

namespace {

constexpr const char* kUsage =
    "usage: velmo-make-samples DIR\n"
    "Synthesises the demo sounds of velmo-sample into DIR: sfx1.wav (zap),\n"
    "sfx2.wav (thud), sfx3.wav (chime), bgm1.wav (44100 Hz 16-bit stereo music)\n"
    "and bgm2.wav (22050 Hz 8-bit mono music).\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc != 2 || argv[1][0] == '\0' || (argv[1][0] == '-' && argv[1][1] != '\0')) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::filesystem::path dir(argv[1]);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    std::fprintf(stderr, "velmo-make-samples: cannot create %s: %s\n", dir.c_str(), ec.message().c_str());
    return 1;
  }
  for (const velmo::tools::DemoSound& sound : velmo::tools::SynthesizeDemoSounds()) {
    std::string error;
    if (!velmo::tools::WritePcmWave((dir / sound.fileName).string(), sound.format, sound.samples, &error)) {
      std::fprintf(stderr, "velmo-make-samples: %s\n", error.c_str());
      return 1;
    }
  }
  return 0;
}
