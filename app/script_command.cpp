#include "app/script_command.h"

#include <charconv>

namespace velmo {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

ScriptCommand Invalid(std::string message) {
  ScriptCommand command;
  command.kind = ScriptCommand::Kind::Invalid;
  command.error = std::move(message);
  return command;
}

}  // namespace

ScriptCommand ParseScriptLine(std::string_view line) {
  if (const auto hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
  line = Trim(line);
  ScriptCommand command;
  if (line.empty()) return command;

  std::size_t wordEnd = 0;
  while (wordEnd < line.size() && !IsBlank(line[wordEnd])) ++wordEnd;
  const std::string_view word = line.substr(0, wordEnd);
  const std::string_view rest = Trim(line.substr(wordEnd));

  if (word == "press") {
    if (rest.empty()) return Invalid("press needs a button name or caption");
    command.kind = ScriptCommand::Kind::Press;
    command.button = std::string(rest);
    return command;
  }
  if (word == "wait") {
    if (rest.empty()) return Invalid("wait needs a number of milliseconds");
    long long ms = 0;
    const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), ms);
    if (ec == std::errc::result_out_of_range || (ec == std::errc() && end == rest.data() + rest.size() &&
                                                 (ms < 0 || ms > kLongestScriptWaitMs)))
      return Invalid("wait takes 0 to " + std::to_string(kLongestScriptWaitMs) + " milliseconds, not '" +
                     std::string(rest) + "'");
    if (ec != std::errc() || end != rest.data() + rest.size())
      return Invalid("wait takes a whole number of milliseconds, not '" + std::string(rest) + "'");
    command.kind = ScriptCommand::Kind::Wait;
    command.milliseconds = ms;
    return command;
  }
  if (word == "close") {
    if (!rest.empty()) return Invalid("close takes nothing after it");
    command.kind = ScriptCommand::Kind::Close;
    return command;
  }
  return Invalid("unknown command '" + std::string(word) + "' (the commands are press, wait and close)");
}

}  // namespace velmo
