// A socket where a PipeWire server's would be, in a runtime folder of the
// test's own that XDG_RUNTIME_DIR names (PIPEWIRE_REMOTE and
// PIPEWIRE_RUNTIME_DIR unset, so that nothing looks elsewhere).  It listens
// and accepts when asked; it never speaks PipeWire's protocol.  The folder
// goes with it.
#pragma once

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

namespace velmo {

class StandInPipeWireSocket {
 public:
  explicit StandInPipeWireSocket(const std::string& name)
      : runtime_(std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()))),
        path_((runtime_ / "pipewire-0").string()) {
    std::filesystem::create_directories(runtime_);
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (listener_ >= 0 && (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
                           ::listen(listener_, 8) != 0))
      Close();
    ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
    ::unsetenv("PIPEWIRE_REMOTE");
    ::unsetenv("PIPEWIRE_RUNTIME_DIR");
  }
  ~StandInPipeWireSocket() {
    Close();
    std::filesystem::remove_all(runtime_);
  }
  StandInPipeWireSocket(const StandInPipeWireSocket&) = delete;
  StandInPipeWireSocket& operator=(const StandInPipeWireSocket&) = delete;

  bool Listening() const { return listener_ >= 0; }

  // The next connection made to it (the caller closes it), or -1.
  int Accept() const { return listener_ >= 0 ? ::accept(listener_, nullptr, nullptr) : -1; }

  // The server goes: nothing listens, and the socket's file is gone.
  void Close() {
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
    std::filesystem::remove(path_);
  }

 private:
  std::filesystem::path runtime_;
  std::string path_;
  int listener_ = -1;
};

}  // namespace velmo
