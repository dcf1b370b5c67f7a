// A sound server's client library (libpipewire, libpulse), loaded at run
// time into a table of its functions: a machine without it never loads it,
// and nothing links against it.
#pragma once

#include <string>

namespace velmo {

// One library, opened with dlopen and kept for the life of the process (a
// client library that has run cannot be unloaded safely).  Each function the
// output calls is looked up into its slot of the caller's table; the first
// one missing makes the whole library unusable, since an output half wired
// would fail in the middle of a stream.
class ClientLibrary {
 public:
  explicit ClientLibrary(const char* soname);

  // Sets `function` to the library's `name`, or to null.  A missing one
  // leaves the library unusable; looked up after that, nothing is found.
  template <typename Function>
  void Require(Function& function, const char* name) {
    function = reinterpret_cast<Function>(Symbol(name, true));
  }
  // The same for a function the output can do without.
  template <typename Function>
  void Optional(Function& function, const char* name) {
    function = reinterpret_cast<Function>(Symbol(name, false));
  }

  // Refuses the library for `why` (it is too old, say): nothing more is
  // looked up.
  void Refuse(std::string why) {
    if (failure_.empty()) failure_ = std::move(why);
  }

  bool Usable() const { return failure_.empty(); }
  // Why it cannot be used, in a few words; empty when it can.
  const std::string& Failure() const { return failure_; }

 private:
  void* Symbol(const char* name, bool required);

  std::string soname_;
  void* library_ = nullptr;
  std::string failure_;
};

}  // namespace velmo
