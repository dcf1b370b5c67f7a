#include "platform/audio/outputs/client_library.h"

#include <dlfcn.h>

namespace velmo {

ClientLibrary::ClientLibrary(const char* soname) : soname_(soname) {
  library_ = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) {
    const char* why = dlerror();
    failure_ = why != nullptr ? why : soname_ + " did not load";
  }
}

void* ClientLibrary::Symbol(const char* name, bool required) {
  if (!Usable()) return nullptr;
  void* symbol = dlsym(library_, name);
  if (symbol == nullptr && required) failure_ = soname_ + " has no " + name;
  return symbol;
}

}  // namespace velmo
