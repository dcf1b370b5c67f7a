#include "platform/audio/outputs/output_diagnostics.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace velmo {

bool OutputDebugWanted() {
  const char* value = std::getenv("VELMO_DEBUG");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

std::string PrintableText(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f) {
      out += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    }
  }
  return out;
}

void ReportOutputFailure(const char* output, const std::string& reason) {
  if (!OutputDebugWanted()) return;
  std::string line = reason.empty() ? std::string("no reason given") : reason;
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  std::fprintf(stderr, "velmo: the %s output did not open: %s\n", output, line.c_str());
}

void ReportBadSetting(const char* variable, const char* value, const char* accepts) {
  const std::string line = std::string("velmo: ") + variable + "=" + PrintableText(value != nullptr ? value : "") +
                           " is not accepted; it takes " + accepts;
  // Start-up asks whether an output exists and then creates it; each asks
  // about the same variables, and the user needs to read about them once.
  static std::mutex mutex;
  static std::set<std::string> written;
  std::lock_guard<std::mutex> guard(mutex);
  if (!written.insert(line).second) return;
  std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace velmo
