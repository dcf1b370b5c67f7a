// Captures what the code under test writes to standard error (descriptor 2)
// for the lifetime of the object.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace velmo::testing {

class StderrCapture {
 public:
  StderrCapture() {
    char path[] = "/tmp/velmo-stderr-XXXXXX";
    const int fd = ::mkstemp(path);
    path_ = path;
    std::fflush(stderr);
    saved_ = ::dup(2);
    ::dup2(fd, 2);
    ::close(fd);
  }
  ~StderrCapture() {
    Restore();
    ::unlink(path_.c_str());
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Stops capturing and returns everything written so far.
  std::string Text() {
    Restore();
    std::ifstream in(path_);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }

  std::string path_;
  int saved_ = -1;
};

}  // namespace velmo::testing
