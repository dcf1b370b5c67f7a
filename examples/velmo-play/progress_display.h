// What velmo-play shows while it plays.  On a terminal: one line, redrawn
// in place, with the time since the music started, the loop it is in and
// the position within the music.  Anywhere else (a pipe, a file): a plain
// line as each loop begins, so that a log reads well.
#pragma once

#include <cstdio>
#include <string>

namespace player {

// m:ss.d, or h:mm:ss.d from an hour on.
std::string FormatTime(double seconds);

class ProgressDisplay {
 public:
  // `musicSeconds` is the length of one pass through the music (above 0);
  // `loop` says whether the music repeats or plays once.
  ProgressDisplay(std::FILE* out, bool terminal, double musicSeconds, bool loop);

  // Shows the state `elapsedSeconds` after the music started.
  void Update(double elapsedSeconds);
  // Writes `line` as a line of its own (on a terminal, in place of the
  // line being redrawn, which the next Update draws again below it).
  void Note(const std::string& line);
  // Ends the display with a closing line, "Finished after ..." or, when
  // `interrupted`, "Stopped after ...".
  void Finish(double elapsedSeconds, bool interrupted);

 private:
  long LoopAt(double elapsedSeconds) const;

  std::FILE* out_;
  bool terminal_;
  double musicSeconds_;
  bool loop_;
  long shownLoop_ = 0;  // the last loop a plain line was written for
  bool lineOpen_ = false;  // a terminal line waits to be ended
};

}  // namespace player
