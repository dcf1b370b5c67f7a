#!/usr/bin/env bash
# --list-devices on a private sound server with two null sinks, velmo_test2
# made the default: both programs list both sinks, one a line, mark the
# default (and only it), and give one JSON object a line with --json.  Each
# output that can list on that server is tried.
#   device_list_test.sh SERVER_SCRIPT VELMO_SAMPLE VELMO_PLAY OUTPUT...
#     SERVER_SCRIPT: tests/app/sound_server.sh or tests/app/pipewire_server.sh
#     OUTPUT: pipewire, sdl (through SDL's pulseaudio driver)
set -uo pipefail
server_script=$1 sample=$2 player=$3
shift 3
work=$(mktemp -d "${TMPDIR:-/tmp}/velmo-device-list.XXXXXX")
# shellcheck source=sound_server.sh
source "$server_script"
trap 'sound_server_cleanup; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*" >&2; echo "--- stdout" >&2; cat "$work/out" >&2; echo "--- stderr" >&2; cat "$work/err" >&2; failures=$((failures + 1)); }

sound_server_setup "$work"
sound_server_start velmo_test2 || { echo "the sound server did not start" >&2; exit 1; }

for output in "$@"; do
  for program in "$player" "$sample"; do
    name=$(basename "$program")
    VELMO_AUDIO_OUTPUT=$output SDL_AUDIODRIVER=pulseaudio "$program" --list-devices > "$work/out" 2> "$work/err"
    # The servers name the sinks velmo_test and velmo_test2, and describe
    # them so too, which is what SDL lists.
    first=velmo_test second=velmo_test2
    [ "$(grep -c . "$work/out")" -eq 2 ] && [ -n "$first" ] && [ -n "$second" ] &&
      grep -q "^$first	" "$work/out" && grep -q "^$second	.* (default)$" "$work/out" &&
      [ "$(grep -c '(default)' "$work/out")" -eq 1 ] || fail "$name --list-devices through $output"
    VELMO_AUDIO_OUTPUT=$output SDL_AUDIODRIVER=pulseaudio "$program" --list-devices --json > "$work/out" 2> "$work/err"
    [ "$(grep -c '^{"name":".*","description":".*","default":\(true\|false\)}$' "$work/out")" -eq 2 ] &&
      [ "$(grep -c '"default":true' "$work/out")" -eq 1 ] && grep -qF "{\"name\":\"$second\"," "$work/out" &&
      grep -F "\"name\":\"$second\"" "$work/out" | grep -q '"default":true' || fail "$name --list-devices --json through $output"
  done
done

[ "$failures" -eq 0 ] && echo "device list: all checks passed"
exit $((failures > 0))
