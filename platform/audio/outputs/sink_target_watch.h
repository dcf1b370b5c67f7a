// Whether the sink a PipeWire stream was asked to play on is there, as the
// server's registry tells it, across connections to the server.
#pragma once

#include <cstdint>

namespace velmo {

// The session manager links a stream to the sink it names (target.object)
// when that sink is there, and to the default otherwise, and never moves it
// back by itself: a stream playing on the default is made anew once the
// chosen sink returns.  The sink may go while the output is connected (its
// global is removed) or while the server is away (a restarted server, or a
// stream that failed, no longer lists it): each connection's registry
// therefore first lists every global, and a sink not among them is gone
// too.  What is gone stays gone across connections until the sink is
// announced again.  The PipeWire loop's own.
class SinkTargetWatch {
 public:
  enum class Change {
    kNone,
    kGone,         // the sink went: the session manager plays on the default
    kBack,         // it returned to a stream playing on the default: make a new one
    kBackLinked,   // it was there when this connection's stream was made, which is linked to it
  };
  static constexpr std::uint32_t kNoId = 0xffffffffu;

  // A new connection, whose registry is about to list the globals.
  void Connected() {
    id_ = kNoId;
    listed_ = false;
  }

  // The sink's node announced, with its id.
  Change Announced(std::uint32_t id) {
    id_ = id;
    if (!gone_) return Change::kNone;
    gone_ = false;
    return listed_ ? Change::kBack : Change::kBackLinked;
  }

  // Every global there at connection time has been announced.
  Change Listed() {
    listed_ = true;
    if (id_ != kNoId || gone_) return Change::kNone;
    gone_ = true;
    return Change::kGone;
  }

  // A global removed.
  Change Removed(std::uint32_t id) {
    if (id_ == kNoId || id != id_) return Change::kNone;
    id_ = kNoId;
    gone_ = true;
    return Change::kGone;
  }

  bool Gone() const { return gone_; }

 private:
  std::uint32_t id_ = kNoId;
  bool listed_ = false;
  bool gone_ = false;
};

}  // namespace velmo
