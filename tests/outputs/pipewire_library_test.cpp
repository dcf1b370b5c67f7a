// The native output against the libpipewire it finds at run time: which
// versions it takes, and the client configuration it asks each for.  The
// test program runs with a stand-in libpipewire-0.3.so.0 first on its
// library path (fake_libpipewire.c), which reports version 0.3.48.
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/audio/outputs/output_selection.h"
#include "platform/audio/outputs/pipewire_output.h"
#include "tests/outputs/stand_in_pipewire_socket.h"

namespace velmo {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

TEST(PipeWireLibraryTest, TakesVersionsFromTheFirstThatSizesEachCycle) {
  EXPECT_THAT(PipeWireLibraryUnfit("0.3.48"), AllOf(HasSubstr("0.3.48"), HasSubstr("0.3.50")));
  EXPECT_THAT(PipeWireLibraryUnfit("0.3.49"), HasSubstr("older than 0.3.50"));
  EXPECT_THAT(PipeWireLibraryUnfit("0.2.7"), HasSubstr("older"));
  EXPECT_THAT(PipeWireLibraryUnfit("0.3.50"), IsEmpty());
  EXPECT_THAT(PipeWireLibraryUnfit("0.3.65"), IsEmpty());
  EXPECT_THAT(PipeWireLibraryUnfit("1.0.0"), IsEmpty());
  EXPECT_THAT(PipeWireLibraryUnfit("1.4.2"), IsEmpty());
  EXPECT_THAT(PipeWireLibraryUnfit("1.4.2-git"), IsEmpty());  // a build's suffix
  // What is no version is not taken for a new one.
  for (const char* text : {"", "1", "1.4", "1..2", "x.4.2", "1.4.x", "1000.0.0", "1.4.\x01"})
    EXPECT_THAT(PipeWireLibraryUnfit(text), HasSubstr("no version")) << text;
  EXPECT_THAT(PipeWireLibraryUnfit(nullptr), HasSubstr("no version"));
}

// 1.3.81 moved client-rt.conf's settings into client.conf, and from then on
// warns on standard error at every context made with the old name.
TEST(PipeWireLibraryTest, AsksEachVersionForTheConfigurationItShips) {
  EXPECT_STREQ(PipeWireClientConfig("0.3.50"), "client-rt.conf");
  EXPECT_STREQ(PipeWireClientConfig("0.3.65"), "client-rt.conf");  // Debian 12
  EXPECT_STREQ(PipeWireClientConfig("1.2.7"), "client-rt.conf");
  EXPECT_STREQ(PipeWireClientConfig("1.3.80"), "client-rt.conf");
  EXPECT_STREQ(PipeWireClientConfig("1.3.81"), "client.conf");
  EXPECT_STREQ(PipeWireClientConfig("1.4.2"), "client.conf");  // Debian 13
  EXPECT_STREQ(PipeWireClientConfig("2.0.0"), "client.conf");
}

// A server that answers, and a library too old to play through it: the
// library is refused with its version named, and the default output is not
// the native one (the next output plays, as when no server answers).
TEST(PipeWireLibraryTest, RefusesALoadedLibraryOlderThanItNeeds) {
  StandInPipeWireSocket server("velmo-pipewire-library");
  ASSERT_TRUE(server.Listening());
  const std::string why = WhyPipeWireDoesNotAnswer();
  const bool answers = PipeWireServerAnswers();
  const bool chosen = PipeWireIsTheSoundServer();

  EXPECT_THAT(why, AllOf(HasSubstr("libpipewire 0.3.48"), HasSubstr("0.3.50"))) << "the stand-in library was not loaded";
  EXPECT_FALSE(answers);
  EXPECT_FALSE(chosen);
}

}  // namespace
}  // namespace velmo
