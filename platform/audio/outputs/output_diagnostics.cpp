#include "platform/audio/outputs/output_diagnostics.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/audio/outputs/output_status.h"
#include "velmo/platform/diagnostics.h"

namespace velmo {

namespace {

// The installed sink, and the lock that every line and every change of sink
// takes: a line written from a device's watcher never reaches a sink that
// SetDiagnosticsSink has already handed back.  Never destroyed, as lines may
// come from threads that outlive static destruction.
std::mutex& SinkMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
DiagnosticsSink* installedSink = nullptr;  // guarded by SinkMutex()

}  // namespace

DiagnosticsSink* SetDiagnosticsSink(DiagnosticsSink* sink) {
  std::lock_guard<std::mutex> guard(SinkMutex());
  DiagnosticsSink* previous = installedSink;
  installedSink = sink;
  return previous;
}

void WriteDiagnostic(const std::string& line) {
  std::lock_guard<std::mutex> guard(SinkMutex());
  if (installedSink != nullptr) installedSink->Write(line.c_str());
  else std::fprintf(stderr, "%s\n", line.c_str());
}

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
  WriteDiagnostic(std::string("velmo: the ") + output + " output did not open: " + line);
}

void ReportBadSetting(const char* variable, const char* value, const char* accepts) {
  const std::string line = std::string("velmo: ") + variable + "=" + PrintableText(value != nullptr ? value : "") +
                           " is not accepted; it takes " + accepts;
  // Start-up asks whether an output exists and then creates it; each asks
  // about the same variables, and the user needs to read about them once.
  static std::mutex mutex;
  static std::set<std::string> written;
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (!written.insert(line).second) return;
  }
  WriteDiagnostic(line);
}

void ReportChosenDeviceGone(const std::string& device) {
  NoteChosenDeviceAway(true);
  WriteDiagnostic("velmo: the sound device " + PrintableText(device) +
                  " went away; playing on the default device until it returns");
}

void ReportChosenDeviceBack(const std::string& device) {
  NoteChosenDeviceAway(false);
  WriteDiagnostic("velmo: the sound device " + PrintableText(device) + " is back; playing on it again");
}

}  // namespace velmo
