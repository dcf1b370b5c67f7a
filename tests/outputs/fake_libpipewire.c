/* Stands in for libpipewire-0.3.so.0 in pipewire_library_test: a library
 * that reports the version FAKE_PIPEWIRE_VERSION names (0.3.48 unless told)
 * and has nothing else the native output could call. */
#include <stdlib.h>

const char* pw_get_library_version(void) {
  const char* version = getenv("FAKE_PIPEWIRE_VERSION");
  return version != NULL ? version : "0.3.48";
}
