#!/usr/bin/env bash
# Nothing in the library, the platform layer or the programs writes the
# process's environment: glibc's setenv may free the array a concurrent
# getenv is reading, and the library's settings reach the outputs as values
# (velmo/platform/audio_settings.h).  The one write allowed is the sdl
# output's PULSE_LATENCY_MSEC, whose comment in sdl_output.cpp says why it
# is safe; any other call of setenv, unsetenv, putenv, clearenv or Qt's
# qputenv/qunsetenv fails this check.
#   environment_writes_test.sh SOURCE_DIR
set -uo pipefail
cd "$1" || exit 1
writes=$(grep -rnE '(^|[^A-Za-z0-9_])(setenv|unsetenv|putenv|clearenv|qputenv|qunsetenv)[[:space:]]*\(' \
           sound platform app examples --include='*.h' --include='*.cpp' --include='*.c' --include='*.inc' |
         grep -vE '^[^:]+:[0-9]+:[[:space:]]*//' |
         grep -vE '^platform/audio/outputs/sdl_output\.cpp:[0-9]+:.*setenv\("PULSE_LATENCY_MSEC"' || true)
if [ -n "$writes" ]; then
  echo "environment writes outside the one documented place:"
  echo "$writes"
  exit 1
fi
allowed=$(grep -cE 'setenv\("PULSE_LATENCY_MSEC"' platform/audio/outputs/sdl_output.cpp)
[ "$allowed" -le 1 ] || { echo "the sdl output writes PULSE_LATENCY_MSEC in $allowed places, not one"; exit 1; }
echo "environment writes: none but the sdl output's PULSE_LATENCY_MSEC"
