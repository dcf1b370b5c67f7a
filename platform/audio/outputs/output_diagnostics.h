// The lines on standard error that say why sound cannot go where it was
// asked.  A setting that makes no sense is always named, since nothing else
// would tell the user which variable to fix; a backend's own reason for not
// opening is written only when VELMO_DEBUG=1, so that a machine without a
// sound card starts as quietly as it always has.
#pragma once

#include <string>

namespace velmo {

// Whether VELMO_DEBUG is "1".
bool OutputDebugWanted();

// With VELMO_DEBUG=1, writes "velmo: the OUTPUT output did not open: REASON"
// as one line; otherwise nothing.  Line breaks inside `reason` become spaces.
void ReportOutputFailure(const char* output, const std::string& reason);

// Writes "velmo: VARIABLE=VALUE is not accepted; it takes ACCEPTS" as one
// line, with the value's unprintable bytes escaped.  A process writes each
// such line once: start-up asks about the settings more than once.
void ReportBadSetting(const char* variable, const char* value, const char* accepts);

// `text` with every byte outside printable ASCII written as \xNN.
std::string PrintableText(const std::string& text);

}  // namespace velmo
