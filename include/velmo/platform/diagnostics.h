// Where the library's lines about its sound go: a device that went away
// and came back ("velmo: the sound device NAME went away; ..."), a setting
// not accepted ("velmo: VELMO_LATENCY_MS=3 is not accepted; ..."), a
// capture cut short, and with VELMO_DEBUG=1 the reason an output did not
// open.  Until the program installs a sink of its own each goes to standard
// error as one line; a game may show them in its console or its log
// instead.  Message boxes have a sink of their own (velmo/platform/services.h).
#pragma once

namespace velmo {

class DiagnosticsSink {
 public:
  virtual ~DiagnosticsSink() = default;
  // One line, without its line break, beginning "velmo: ".  Called from
  // whichever thread found what the line says, the library's own (its
  // device watchers) included, one call at a time under the library's lock:
  // the sink should only note the line (a queue the program drains, a log)
  // and must not call into the library.
  virtual void Write(const char* line) = 0;
};

// Installs `sink` (null: back to standard error) and returns the previous
// one.  Once it returns the previous sink is not being called and will not
// be again, so it may be destroyed.
DiagnosticsSink* SetDiagnosticsSink(DiagnosticsSink* sink);

// Installs a sink for the lifetime of a scope.
class ScopedDiagnosticsSink {
 public:
  explicit ScopedDiagnosticsSink(DiagnosticsSink& sink) : previous_(SetDiagnosticsSink(&sink)) {}
  ~ScopedDiagnosticsSink() { SetDiagnosticsSink(previous_); }
  ScopedDiagnosticsSink(const ScopedDiagnosticsSink&) = delete;
  ScopedDiagnosticsSink& operator=(const ScopedDiagnosticsSink&) = delete;

 private:
  DiagnosticsSink* previous_;
};

}  // namespace velmo
