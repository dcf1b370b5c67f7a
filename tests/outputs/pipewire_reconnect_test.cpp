// The native PipeWire output while its server is away, against the system's
// libpipewire and a socket that stands in for the server: it accepts the
// output's connection, then drops it and goes, so that every reconnection
// the output tries fails as it does while a real server is stopped.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/audio/outputs/pipewire_output.h"
#include "tests/outputs/stand_in_pipewire_socket.h"

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
  StandInPipeWireSocket server("velmo-pipewire-reconnect");
  ASSERT_TRUE(server.Listening());
  if (!PipeWireServerAnswers()) GTEST_SKIP() << "libpipewire-0.3 is not installed";
  const int probe = server.Accept();  // PipeWireServerAnswers' own
  if (probe >= 0) ::close(probe);

  Silence source;
  CountingEvents events;
  PipeWireOutput output(48000);
  ASSERT_TRUE(output.Open(source, events));
  // The server goes: its connection drops and its socket is no more.
  const int connection = server.Accept();
  ASSERT_GE(connection, 0);
  ::close(connection);
  server.Close();

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (output.ConnectAttempts() < 6 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::uint64_t attempts = output.ConnectAttempts();
  const std::uint64_t contexts = output.ContextsCreated();
  output.Close();

  EXPECT_EQ(events.losses.load(), 1);
  EXPECT_GE(attempts, 6u) << "the output never tried to connect again";
  EXPECT_EQ(contexts, 1u) << "over " << attempts << " connection attempts";
}

}  // namespace
}  // namespace velmo
