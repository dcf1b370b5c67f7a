#!/usr/bin/env bash
# Listing and choosing the sound device on a private sound server with two
# null sinks, velmo_test2 made the default.  For each output given: both
# programs list both sinks, one a line, mark the default (and only it), and
# give one JSON object a line with --json; --device velmo_test (not the
# default) puts velmo-play's stream on that sink; a chosen sink that goes
# away mid-play has the music on the default within 1 s with one line, and
# back on the sink when it returns, with another, and velmo-play's state
# lines follow both moves; a name no device has is
# answered in one line naming the devices, velmo-play exiting 2 and
# velmo-sample carrying on (status 0) with a hint naming --list-devices.
# Through the native pulseaudio output, also: a chosen sink that is gone
# when the server comes back, three restarts in a row, has the music on the
# default within 1.5 s of each, and back on the sink within 1.5 s of its
# return, with one line each way.
#   device_choice_test.sh SERVER_SCRIPT VELMO_SAMPLE VELMO_PLAY OUTPUT...
#     SERVER_SCRIPT: tests/app/sound_server.sh or tests/app/pipewire_server.sh
#     OUTPUT: pipewire, pulseaudio, sdl (through SDL's pulseaudio driver)
set -uo pipefail
server_script=$1 sample=$2 player=$3
shift 3
work=$(mktemp -d "${TMPDIR:-/tmp}/velmo-device-choice.XXXXXX")
# shellcheck source=sound_server.sh
source "$server_script"
trap 'sound_server_cleanup; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*" >&2; echo "--- stdout" >&2; cat "$work/out" >&2; echo "--- stderr" >&2; cat "$work/err" >&2; failures=$((failures + 1)); }
# Reaps the player, stopping it if it has not ended within 10 s; returns
# its exit status.
reap() { wait_until 10 dead "$1" || { echo "the player did not end within 10 s" >&2; stop_pid "$1" 3; }; wait "$1"; }

sox -n -r 22050 -c 2 -b 16 "$work/music.wav" synth 1.5 sine 440 vol 0.5
sox -n -r 22050 -c 2 -b 16 "$work/long.wav" synth 4 sine 440 vol 0.5
sox -n -r 22050 -c 2 -b 16 "$work/longer.wav" synth 10 sine 440 vol 0.5
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

  # The chosen sink, while the music plays: the server's sink-input is on it.
  VELMO_AUDIO_OUTPUT=$output SDL_AUDIODRIVER=pulseaudio "$player" --device velmo_test "$work/music.wav" \
    > "$work/out" 2> "$work/err" &
  pid=$!
  wanted=$(pactl_bounded list sinks short | awk '$2 == "velmo_test" { print $1 }')
  wait_until 3 sh -c "timeout 3 pactl list sink-inputs | grep -q 'Sink: $wanted\$'"
  pactl_bounded list sink-inputs > "$work/inputs"
  reap "$pid"
  status=$?
  [ "$status" -eq 0 ] && [ "$(grep -c '^[[:space:]]*Sink: ' "$work/inputs")" -eq 1 ] &&
    grep -q "Sink: $wanted\$" "$work/inputs" || fail "--device velmo_test through $output (status $status)"

  # A chosen sink that goes away mid-play: the stream is on the default
  # (velmo_test2) within a second, with one line, and back on the sink
  # within a second and a half of its return, with another.
  module=$(pactl_bounded load-module module-null-sink sink_name=velmo_extra sink_properties=device.description=velmo_extra)
  wait_until 3 sh -c "VELMO_AUDIO_OUTPUT=$output SDL_AUDIODRIVER=pulseaudio '$player' --list-devices | grep -q '^velmo_extra	'"
  VELMO_AUDIO_OUTPUT=$output SDL_AUDIODRIVER=pulseaudio "$player" --device velmo_extra "$work/long.wav" \
    > "$work/out" 2> "$work/err" &
  pid=$!
  on_sink() {
    local index
    index=$(pactl_bounded list sinks short | awk -v n="$1" '$2 == n { print $1 }')
    [ -n "$index" ] && pactl_bounded list sink-inputs | grep -q "Sink: $index\$"
  }
  wait_until 3 on_sink velmo_extra || fail "--device velmo_extra through $output: never on velmo_extra"
  pactl_bounded unload-module "$module"
  wait_until 1 on_sink velmo_test2 || fail "not on the default within 1 s of velmo_extra going, through $output"
  # velmo-play reads the state ten times a second: the sink comes back once
  # it has said where the sound went (below), or the move could fall
  # between two of its reads.
  away_line="^Output: $output (on the default device \(velmo_extra went away\), |lost; )"
  wait_until 1 grep -qE "$away_line" "$work/out" || fail "velmo-play did not say within 1 s that velmo_extra went away"
  # An idle null sink of PulseAudio's plays its first two seconds as one
  # block, and SDL's device cannot close until that block is played; woken,
  # the sink plays in the stream's own periods, as a sound card's does.
  wake_sink velmo_test2
  module=$(pactl_bounded load-module module-null-sink sink_name=velmo_extra sink_properties=device.description=velmo_extra)
  wait_until 1.5 on_sink velmo_extra || fail "not back on velmo_extra within 1.5 s of its return, through $output"
  reap "$pid" || fail "velmo-play --device velmo_extra through $output (status $?)"
  pactl_bounded unload-module "$module"
  [ "$(cat "$work/err")" = "velmo: the sound device velmo_extra went away; playing on the default device until it returns
velmo: the sound device velmo_extra is back; playing on it again" ] || fail "the lines of a sink gone and back, through $output"
  # The same moves as velmo-play reads them from the library's state, one
  # line each on its standard output: on the sink; while it is away, on the
  # default or lost (the pipewire stream may stall until it is moved, and
  # is connected anew when the sink returns); and on the sink again.
  grep -qE "$away_line" "$work/out" &&
    [ "$(grep -c "^Output: $output on velmo_extra, " "$work/out")" -ge 2 ] ||
    fail "velmo-play's state lines of a sink gone and back, through $output"

  # The server restarted three times in a row without the chosen sink,
  # which is loaded again only after the last restart.
  if [ "$output" = pulseaudio ]; then
    module=$(pactl_bounded load-module module-null-sink sink_name=velmo_extra sink_properties=device.description=velmo_extra)
    VELMO_AUDIO_OUTPUT=$output "$player" --device velmo_extra "$work/longer.wav" > "$work/out" 2> "$work/err" &
    pid=$!
    wait_until 3 on_sink velmo_extra || fail "--device velmo_extra through $output: never on velmo_extra"
    for restart in 1 2 3; do
      sound_server_kill
      sleep 0.5
      sound_server_start velmo_test2 || { echo "the sound server did not start again" >&2; exit 1; }
      wait_until 1.5 on_sink velmo_test2 || fail "not on the default within 1.5 s of restart $restart, through $output"
    done
    module=$(pactl_bounded load-module module-null-sink sink_name=velmo_extra sink_properties=device.description=velmo_extra)
    wait_until 1.5 on_sink velmo_extra || fail "not back on velmo_extra within 1.5 s of its return after the restarts"
    reap "$pid" || fail "velmo-play --device velmo_extra through three restarts (status $?)"
    pactl_bounded unload-module "$module"
    [ "$(cat "$work/err")" = "velmo: the sound device velmo_extra went away; playing on the default device until it returns
velmo: the sound device velmo_extra is back; playing on it again" ] || fail "the lines of a sink gone over three restarts and back"
  fi

  # A name that matches no device.
  VELMO_AUDIO_OUTPUT=$output SDL_AUDIODRIVER=pulseaudio "$player" --device velmo_nowhere "$work/music.wav" \
    > "$work/out" 2> "$work/err"
  status=$?
  [ "$status" -eq 2 ] && [ "$(cat "$work/err")" = \
    "velmo-play: no sound device is named velmo_nowhere; the devices are: velmo_test, velmo_test2" ] ||
    fail "velmo-play --device velmo_nowhere through $output (status $status)"
  (cd "$work" && VELMO_AUDIO_OUTPUT=$output SDL_AUDIODRIVER=pulseaudio "$sample" --headless --device velmo_nowhere \
    --script <(printf 'close\n') > "$work/out" 2> "$work/err")
  status=$?
  [ "$status" -eq 0 ] && [ "$(wc -l < "$work/err")" -eq 3 ] &&
    grep -qx "velmo: no sound device is named velmo_nowhere; the devices are: velmo_test, velmo_test2" "$work/err" &&
    grep -q "^velmo-sample: the sound device velmo_nowhere could not be opened.*--list-devices" "$work/err" ||
    fail "velmo-sample --device velmo_nowhere through $output (status $status)"
done

[ "$failures" -eq 0 ] && echo "device list: all checks passed"
exit $((failures > 0))
