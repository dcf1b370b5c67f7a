#include "progress_display.h"

#include <algorithm>
#include <cmath>

namespace player {

std::string FormatTime(double seconds) {
  const long tenths = std::lround(std::max(seconds, 0.0) * 10.0);
  const long hours = tenths / 36000;
  const long minutes = tenths / 600 % 60;
  const long secs = tenths / 10 % 60;
  char text[32];
  if (hours > 0)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld.%ld", hours, minutes, secs, tenths % 10);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld.%ld", minutes, secs, tenths % 10);
  return text;
}

ProgressDisplay::ProgressDisplay(std::FILE* out, bool terminal, double musicSeconds, bool loop)
    : out_(out), terminal_(terminal), musicSeconds_(musicSeconds), loop_(loop) {}

long ProgressDisplay::LoopAt(double elapsedSeconds) const {
  // Played once, the music is in its one pass until the end, end included.
  if (!loop_) return 1;
  return static_cast<long>(std::floor(elapsedSeconds / musicSeconds_)) + 1;
}

void ProgressDisplay::Update(double elapsedSeconds) {
  const long loop = LoopAt(elapsedSeconds);
  if (terminal_) {
    const double position = std::min(elapsedSeconds - (loop - 1) * musicSeconds_, musicSeconds_);
    // \r goes back to the start of the line, ESC [K clears what is left of
    // a longer line drawn before.
    std::fprintf(out_, "\r  %s  loop %ld  (%s of %s)\x1b[K", FormatTime(elapsedSeconds).c_str(), loop,
                 FormatTime(position).c_str(), FormatTime(musicSeconds_).c_str());
    lineOpen_ = true;
  } else {
    // One line for each loop begun, at the time it began, even when several
    // began since the last update.
    while (shownLoop_ < loop) {
      ++shownLoop_;
      std::fprintf(out_, "  %s  loop %ld\n", FormatTime((shownLoop_ - 1) * musicSeconds_).c_str(), shownLoop_);
    }
  }
  std::fflush(out_);
}

void ProgressDisplay::Note(const std::string& line) {
  std::fprintf(out_, lineOpen_ ? "\r%s\x1b[K\n" : "%s\n", line.c_str());
  lineOpen_ = false;
  std::fflush(out_);
}

void ProgressDisplay::Finish(double elapsedSeconds, bool interrupted) {
  if (lineOpen_) std::fputc('\n', out_);
  lineOpen_ = false;
  if (interrupted)
    std::fprintf(out_, "Stopped after %s, in loop %ld\n", FormatTime(elapsedSeconds).c_str(), LoopAt(elapsedSeconds));
  else
    std::fprintf(out_, "Finished after %s\n", FormatTime(elapsedSeconds).c_str());
  std::fflush(out_);
}

}  // namespace player
