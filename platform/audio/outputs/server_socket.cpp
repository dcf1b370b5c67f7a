#include "platform/audio/outputs/server_socket.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace velmo {

std::string WhyServerSocketDoesNotAnswer(const std::string& path) {
  sockaddr_un address{};
  if (path.empty()) return "no socket path";
  if (path.size() >= sizeof address.sun_path) return "the socket path " + path + " is too long";
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string("socket: ") + std::strerror(errno);
  const bool answers = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  const int why = errno;
  ::close(fd);
  if (!answers) return "no server answers at " + path + ": " + std::strerror(why);
  return {};
}

}  // namespace velmo
