// The lines that say why sound cannot go where it was asked, or that it has
// moved.  A setting that makes no sense is always named, since nothing else
// would tell the user which variable to fix; a backend's own reason for not
// opening is written only when VELMO_DEBUG=1, so that a machine without a
// sound card starts as quietly as it always has.  Every line goes through
// the diagnostics sink (velmo/platform/diagnostics.h): standard error until
// the program installs its own.
#pragma once

#include <string>

namespace velmo {

// Whether VELMO_DEBUG is "1".
bool OutputDebugWanted();

// Hands `line` (without its line break) to the diagnostics sink.
void WriteDiagnostic(const std::string& line);

// With VELMO_DEBUG=1, writes "velmo: the OUTPUT output did not open: REASON"
// as one line; otherwise nothing.  Line breaks inside `reason` become spaces.
void ReportOutputFailure(const char* output, const std::string& reason);

// Writes "velmo: VARIABLE=VALUE is not accepted; it takes ACCEPTS" as one
// line, with the value's unprintable bytes escaped.  A process writes each
// such line once: start-up asks about the settings more than once.
void ReportBadSetting(const char* variable, const char* value, const char* accepts);

// The chosen device went away and the default plays instead, or it is back
// and plays again: one line each, the name escaped, and the output's state
// (GetAudioOutputState) says so from here on.
void ReportChosenDeviceGone(const std::string& device);
void ReportChosenDeviceBack(const std::string& device);

// `text` with every byte outside printable ASCII written as \xNN.
std::string PrintableText(const std::string& text);

}  // namespace velmo
