// The native PipeWire output while its server is away, against the system's
// libpipewire and a socket that stands in for the server: it accepts the
// output's connection, then drops it and goes, so that every reconnection
// the output tries fails as it does while a real server is stopped.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/audio/outputs/pipewire_output.h"

namespace velmo {
namespace {

class Silence final : public MixSource {
 public:
  void Render(float* stereo, std::size_t frames) override { std::fill(stereo, stereo + 2 * frames, 0.0f); }
};

class CountingEvents final : public OutputEvents {
 public:
  void OnOutputLost() override { losses.fetch_add(1); }
  void OnOutputRestored() override {}
  std::atomic<int> losses{0};
};

// A context loads modules and starts a real-time thread; the output makes
// one at Open and connects every new core through it.  Five attempts take
// about a second of the output's own 250 ms pace, which no test clock
// drives: the test waits for them.
TEST(PipeWireReconnectTest, KeepsOneContextWhileTheServerIsAway) {
  const std::filesystem::path runtime =
      std::filesystem::temp_directory_path() / ("velmo-pipewire-reconnect-" + std::to_string(::getpid()));
  std::filesystem::create_directories(runtime);
  const std::string socketPath = (runtime / "pipewire-0").string();
  const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(server, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(server, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(server, 8), 0);
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  ::unsetenv("PIPEWIRE_REMOTE");
  ::unsetenv("PIPEWIRE_RUNTIME_DIR");
  if (!PipeWireServerAnswers()) {
    ::close(server);
    std::filesystem::remove_all(runtime);
    GTEST_SKIP() << "libpipewire-0.3 is not installed";
  }
  const int probe = ::accept(server, nullptr, nullptr);  // PipeWireServerAnswers' own
  if (probe >= 0) ::close(probe);

  Silence source;
  CountingEvents events;
  PipeWireOutput output(48000);
  ASSERT_TRUE(output.Open(source, events));
  // The server goes: its connection drops and its socket is no more.
  const int connection = ::accept(server, nullptr, nullptr);
  ASSERT_GE(connection, 0);
  ::close(connection);
  ::close(server);
  std::filesystem::remove(socketPath);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (output.ConnectAttempts() < 6 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::uint64_t attempts = output.ConnectAttempts();
  const std::uint64_t contexts = output.ContextsCreated();
  output.Close();
  std::filesystem::remove_all(runtime);

  EXPECT_EQ(events.losses.load(), 1);
  EXPECT_GE(attempts, 6u) << "the output never tried to connect again";
  EXPECT_EQ(contexts, 1u) << "over " << attempts << " connection attempts";
}

}  // namespace
}  // namespace velmo
