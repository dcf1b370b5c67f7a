#include "platform/audio/outputs/sound_library_quiet.h"

#include <dlfcn.h>

#include <mutex>

namespace velmo {
namespace {

// The shape of libasound's error handler (snd_lib_error_handler_t),
// declared here so that building needs no ALSA headers.
using AlsaErrorHandler = void (*)(const char* file, int line, const char* function, int err, const char* fmt, ...);
using SetAlsaErrorHandler = int (*)(AlsaErrorHandler handler);

void DropAlsaError(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

void QuietSystemSoundLibraries() {
  static std::once_flag once;
  std::call_once(once, [] {
    // SDL opens the library by this same name, so it gets this very copy
    // with the handler already set.  The handle is kept for good: were the
    // library unloaded when SDL lets go of it, a later load would bring back
    // the default handler.
    void* alsa = ::dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
    if (alsa == nullptr) return;
    if (auto set = reinterpret_cast<SetAlsaErrorHandler>(::dlsym(alsa, "snd_lib_error_set_handler")))
      set(&DropAlsaError);
  });
}

}  // namespace velmo
