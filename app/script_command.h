// One line of a sample-program script.
//
//   press NAME     clicks the button whose object name (Button7) or exact
//                  caption ("Play BGM (BGM1.WAV)") is NAME
//   wait MS        lets MS milliseconds pass with the program running
//   close          closes the window, which ends the program
//
// '#' starts a comment that runs to the end of the line; blank lines and
// comments do nothing.
#pragma once

#include <string>
#include <string_view>

namespace velmo {

struct ScriptCommand {
  enum class Kind { Nothing, Press, Wait, Close, Invalid };
  Kind kind = Kind::Nothing;
  std::string button;        // Press: the name or caption, surrounding blanks removed
  long long milliseconds = 0;  // Wait
  std::string error;         // Invalid: what is wrong with the line
};

// The longest wait a script may ask for: one day.  Anything longer is far
// more likely a typing slip than an intent.
constexpr long long kLongestScriptWaitMs = 24LL * 60 * 60 * 1000;

ScriptCommand ParseScriptLine(std::string_view line);

}  // namespace velmo
