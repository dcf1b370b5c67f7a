// Whether a sound server listens on its socket: asked before its client
// library is loaded, so that a machine without the server never loads it.
#pragma once

#include <string>

namespace velmo {

// Empty when a connection to the Unix socket at `path` is accepted (and at
// once closed); otherwise why not, in a few words that name the path.
std::string WhyServerSocketDoesNotAnswer(const std::string& path);

}  // namespace velmo
