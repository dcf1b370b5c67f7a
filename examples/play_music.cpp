// play_music: plays a WAVE file as looping music for two seconds.
//   c++ -std=c++20 play_music.cpp $(pkg-config --cflags --libs velmo-sound)
#include <chrono>
#include <thread>

#include <velmo/sound/vs_sound.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  velmo::VSSound sound{};
  if (sound.InitDSound(nullptr) != 1) return 1;  // no window: messages go to stderr
  const bool opened = sound.OpenStream(argv[1]) == 1;
  if (opened) {
    sound.PlayStream();  // repeats until stopped; a library thread refills it
    std::this_thread::sleep_for(std::chrono::seconds(2));
  }
  sound.CloseDSound();  // stops and closes the stream, then the device
  return opened ? 0 : 1;
}
