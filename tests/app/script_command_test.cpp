// Reading the lines of a sample-program script.
#include <gtest/gtest.h>

#include "app/script_command.h"

namespace velmo {
namespace {

using Kind = ScriptCommand::Kind;

TEST(ScriptLine, BlankLinesAndCommentsDoNothing) {
  for (const char* line : {"", "   ", "\t\r", "# a comment", "   # indented comment", "#press Button2"})
    EXPECT_EQ(ParseScriptLine(line).kind, Kind::Nothing) << '"' << line << '"';
}

TEST(ScriptLine, PressTakesTheRestOfTheLineAsNameOrCaption) {
  ScriptCommand byName = ParseScriptLine("press Button7");
  EXPECT_EQ(byName.kind, Kind::Press);
  EXPECT_EQ(byName.button, "Button7");

  // Captions have blanks and brackets inside; blanks around them, a
  // trailing comment and a Windows line end are not part of them.
  ScriptCommand byCaption = ParseScriptLine("  press   Play BGM (BGM1.WAV)   # the first piece\r");
  EXPECT_EQ(byCaption.kind, Kind::Press);
  EXPECT_EQ(byCaption.button, "Play BGM (BGM1.WAV)");
  EXPECT_EQ(ParseScriptLine("press\tSFX 1 (SFX1.WAV)").button, "SFX 1 (SFX1.WAV)");

  ScriptCommand bare = ParseScriptLine("press   # nothing");
  EXPECT_EQ(bare.kind, Kind::Invalid);
  EXPECT_EQ(bare.error, "press needs a button name or caption");
}

TEST(ScriptLine, WaitTakesAWholeNumberOfMillisecondsInRange) {
  EXPECT_EQ(ParseScriptLine("wait 0").milliseconds, 0);
  ScriptCommand wait = ParseScriptLine("wait 2500  # music only");
  EXPECT_EQ(wait.kind, Kind::Wait);
  EXPECT_EQ(wait.milliseconds, 2500);
  EXPECT_EQ(ParseScriptLine("wait 86400000").milliseconds, kLongestScriptWaitMs);

  for (const char* line : {"wait", "wait soon", "wait 1.5", "wait 10ms", "wait 10 20", "wait +5", "wait 0x10"}) {
    ScriptCommand bad = ParseScriptLine(line);
    EXPECT_EQ(bad.kind, Kind::Invalid) << line;
    EXPECT_FALSE(bad.error.empty()) << line;
  }
  for (const char* line : {"wait -1", "wait 86400001", "wait 99999999999999999999999"}) {
    ScriptCommand bad = ParseScriptLine(line);
    EXPECT_EQ(bad.kind, Kind::Invalid) << line;
    EXPECT_NE(bad.error.find("wait takes 0 to 86400000 milliseconds"), std::string::npos) << bad.error;
  }
}

TEST(ScriptLine, CloseStandsAlone) {
  EXPECT_EQ(ParseScriptLine("close").kind, Kind::Close);
  EXPECT_EQ(ParseScriptLine(" close  # done").kind, Kind::Close);
  EXPECT_EQ(ParseScriptLine("close now").kind, Kind::Invalid);
}

TEST(ScriptLine, UnknownCommandsAndOtherCasesAreRefusedByName) {
  for (const char* line : {"click Button2", "Press Button2", "CLOSE", "pressButton2", "sleep 10"}) {
    ScriptCommand bad = ParseScriptLine(line);
    EXPECT_EQ(bad.kind, Kind::Invalid) << line;
    EXPECT_NE(bad.error.find("unknown command"), std::string::npos) << bad.error;
  }
  EXPECT_EQ(ParseScriptLine("frobnicate the knob").error,
            "unknown command 'frobnicate' (the commands are press, wait and close)");
}

}  // namespace
}  // namespace velmo
