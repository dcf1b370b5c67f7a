// The chosen sink of the native PipeWire output, followed through the
// registry events of successive connections.
#include <gtest/gtest.h>

#include "platform/audio/outputs/sink_target_watch.h"

namespace velmo {
namespace {

using Change = SinkTargetWatch::Change;

TEST(SinkTargetWatchTest, RemovedWhileConnectedAndAnnouncedAgain) {
  SinkTargetWatch watch;
  watch.Connected();
  EXPECT_EQ(watch.Announced(40), Change::kNone);
  EXPECT_EQ(watch.Listed(), Change::kNone);
  EXPECT_EQ(watch.Removed(41), Change::kNone);  // some other global
  EXPECT_EQ(watch.Removed(40), Change::kGone);
  EXPECT_EQ(watch.Announced(57), Change::kBack);  // a new stream, linked to it
  EXPECT_FALSE(watch.Gone());
}

// Unplugged while the server restarts: no removal is ever seen, the new
// connection's registry simply does not list it.  It is gone, and is gone
// back to when it returns, however many connections later.
TEST(SinkTargetWatchTest, MissingFromANewConnectionIsGoneAndReturnedTo) {
  SinkTargetWatch watch;
  watch.Connected();
  watch.Announced(40);
  watch.Listed();
  watch.Connected();  // the server restarted
  EXPECT_EQ(watch.Listed(), Change::kGone);
  watch.Connected();  // and the stream failed once more
  EXPECT_EQ(watch.Listed(), Change::kNone);  // said once
  EXPECT_TRUE(watch.Gone());
  EXPECT_EQ(watch.Announced(63), Change::kBack);
  EXPECT_EQ(watch.Listed(), Change::kNone);
}

// Gone, then there again when a later connection lists the globals: that
// connection's stream asked for it while it was there and is linked to it.
TEST(SinkTargetWatchTest, BackAtConnectionTimeNeedsNoNewStream) {
  SinkTargetWatch watch;
  watch.Connected();
  watch.Listed();  // chosen, and not there from the start
  EXPECT_TRUE(watch.Gone());
  watch.Connected();
  EXPECT_EQ(watch.Announced(12), Change::kBackLinked);
  EXPECT_EQ(watch.Listed(), Change::kNone);
  EXPECT_EQ(watch.Removed(12), Change::kGone);
}

}  // namespace
}  // namespace velmo
