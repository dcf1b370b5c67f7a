// The text of --list-devices, which every program on the library prints
// alike, so that a script reads them all the same way.
#include <cstdio>
#include <string>
#include <vector>

#include "velmo/platform/audio_devices.h"

namespace velmo {

namespace {

// A string as a JSON string literal: quotes and backslashes escaped, control
// characters as \uXXXX, anything else (UTF-8 included) as it is.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

std::string AudioDeviceListText(const std::vector<AudioDevice>& devices, bool json) {
  std::string text;
  for (const AudioDevice& device : devices) {
    if (json)
      text += "{\"name\":" + JsonString(device.name) + ",\"description\":" + JsonString(device.description) +
              ",\"default\":" + (device.isDefault ? "true" : "false") + "}\n";
    else
      text += device.name + "\t" + device.description + (device.isDefault ? " (default)" : "") + "\n";
  }
  return text;
}

}  // namespace velmo
