#!/usr/bin/env bash
# The program through a real sound server: velmo-sample --headless with the
# default output (SDL2) plays into a server of the test's own, whose sinks'
# monitors parec records.
#   sound_server_test.sh VELMO_SAMPLE VELMO_MAKE_SAMPLES VELMO_RECORDING_LAG [SERVER [DRIVER...]]
# SERVER is pulseaudio (the default: sound_server.sh) or pipewire
# (pipewire_server.sh: pipewire, wireplumber and pipewire-pulse).  The whole
# run is made once per SDL audio driver named (SDL_AUDIODRIVER): on
# PulseAudio, native and pulseaudio unless told; on PipeWire, pulseaudio and
# pipewire.  The driver name "native" runs it through the program's default
# output, which is the native PipeWire output on PipeWire and the native
# PulseAudio output on PulseAudio; on PipeWire native-restarts and
# native-quantum run that output's own scenarios (native_output_checks.sh).
#
# 1. Twenty seconds of music with three effects over it: the music must be
#    in the recording of the default sink (most short windows line up with
#    the file) and each effect must be found where it was started.
# 2. The second sink is made the default output while the music plays, as a
#    desktop does when headphones are plugged in: the music must be on the
#    second sink within a second.
# 3. The server is killed while the music plays and started again: the music
#    must be back (on the default the user chose) within a second of the
#    server answering, and the three effects pressed afterwards must each be
#    heard where they were pressed in the music's time: the device kept time
#    while the server was away, and lost none of its buffers.
# 4. The server is stopped for a second (SIGSTOP, then SIGCONT), which the
#    output takes for a stalled device: the same checks once it goes on.
# The program must end with status 0 and write nothing on standard error (no
# "Cannot start playing").
# Every check of the recordings runs and prints its figures, failing or not;
# the test fails at the end if any failed.  Continuity (lag jumps, silent
# windows) is printed, not asserted: this machine's scheduling is too noisy
# for that.  bench/output_depth.sh measures it against paplay.
set -euo pipefail
export LC_ALL=C
sample="$(realpath "$1")" make_samples="$(realpath "$2")" lag_tool="$(realpath "$3")"
server=${4:-pulseaudio}
shift $(( $# < 4 ? $# : 4 ))
drivers=("$@")
here="$(cd "$(dirname "$0")" && pwd)"
case "$server" in
  pulseaudio)
    # shellcheck source=sound_server.sh
    source "$here/sound_server.sh"
    [ ${#drivers[@]} -gt 0 ] || drivers=(native pulseaudio) ;;
  pipewire)
    # shellcheck source=pipewire_server.sh
    source "$here/pipewire_server.sh"
    [ ${#drivers[@]} -gt 0 ] || drivers=(pulseaudio pipewire) ;;
  *) echo "usage: $0 VELMO_SAMPLE VELMO_MAKE_SAMPLES VELMO_RECORDING_LAG [pulseaudio|pipewire [DRIVER...]]" >&2; exit 2 ;;
esac

work="$(mktemp -d)"
program_pid=""
cleanup() {
  stop_pid "$program_pid" 3
  program_pid=""
  sound_server_cleanup
}
on_exit() {
  cleanup
  if [ -n "${VELMO_KEEP_WORK:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap on_exit EXIT
trap 'exit 1' INT TERM
fail() { echo "FAIL [$server, SDL $driver]: $*" >&2; exit 1; }
# A check of the recordings that fails: reported, and the other checks still
# run (every figure is printed); the test fails at the end.
failures=0
problem() { echo "FAIL [$server, SDL $driver]: $*" >&2; failures=$((failures + 1)); }

# Thresholds.  A window is 20 ms; "most windows" is four in five, which
# leaves room for the windows the effects cover and for the odd dropout.
# SDL 2.26's PipeWire driver has no queue of its own to ride out a late
# wake-up: it hands the server one 512-frame period per graph cycle, and on
# this shared machine it loses a period now and then (tens of times in 20 s
# when the machine is busy), each loss leaving a window or two unmatched.
# Through it, presence is "more than half the windows", which a silent or
# wrong output still fails.
# An effect must be "more than half alike" where it was pressed: its onset,
# by which the analyser places it (its first quarter second, after a tenth
# of a second of silence).  A dropout that falls inside the onset shifts the
# rest of it: the effect is there, in place, but less alike.  Dropouts come
# from the whole chain, the recording of the sink's monitor included (a
# 256-frame cycle lost or repeated now and then through pipewire-pulse, a
# 115 ms underrun through PulseAudio).  Continuity is measured apart,
# against paplay and pw-play; here a missing effect (about 0) or one in the
# wrong place still fails.
min_effect_correlation=0.5
thresholds() {
  if [ "$driver" = pipewire ]; then min_matched_percent=50; else min_matched_percent=80; fi
}
max_effect_offset=0.25   # seconds between where an effect was started (in the music's time) and where it sounds
# After an outage the music may have fallen a little behind the script's
# clock (a handover between the output and the device's own clock costs a
# few milliseconds, and up to about 0.25 s on a machine whose cores are
# both kept busy).  What the check must catch is time that stood still
# while the server was away: at least the half second it is down before a
# restart, and the second it is stopped.
max_effect_offset_after_outage=0.4
max_follow=1.0           # seconds from the new default sink to the music on it
max_recovery=1.0         # seconds from the restarted (or resumed) server to the music
pause_seconds=1          # how long the server is stopped

mkdir "$work/sounds"
"$make_samples" "$work/sounds" >/dev/null
for name in bgm1 sfx1 sfx2 sfx3; do
  sox "$work/sounds/$name.wav" -t raw -e signed -b 16 -c 2 -r 48000 "$work/$name.raw"
done

# Music from the start; an effect 4, 9 and 14 s in; the second sink becomes
# the default at about 22 s and the server is killed at about 25 s; effects
# 29, 31 and 33 s in; the server is stopped at about 35 s for a second;
# effects 39, 41 and 43 s in, and the script closes the window at 46 s.
cat >"$work/script.txt" <<'SCRIPT'
press Play BGM (BGM1.WAV)
wait 4000
press SFX 1 (SFX1.WAV)
wait 5000
press SFX2 (SFX2.WAV)
wait 5000
press SFX3 (SFX3.WAV)
wait 15000
press SFX 1 (SFX1.WAV)
wait 2000
press SFX2 (SFX2.WAV)
wait 2000
press SFX3 (SFX3.WAV)
wait 6000
press SFX 1 (SFX1.WAV)
wait 2000
press SFX2 (SFX2.WAV)
wait 2000
press SFX3 (SFX3.WAV)
wait 3000
close
SCRIPT
effects=(--effect "sfx1=$work/sfx1.raw@4" --effect "sfx2=$work/sfx2.raw@9" --effect "sfx3=$work/sfx3.raw@14")
# Placed in the music's time since it began (it loops every 16 s).
effects_after_restart=(--effect "sfx1=$work/sfx1.raw@29" --effect "sfx2=$work/sfx2.raw@31" --effect "sfx3=$work/sfx3.raw@33")
effects_after_pause=(--effect "sfx1=$work/sfx1.raw@39" --effect "sfx2=$work/sfx2.raw@41" --effect "sfx3=$work/sfx3.raw@43")

field() { sed -n "s/.*$1.*/\\1/p" <<<"$2" | head -n 1; }
at_least() { awk -v v="$1" -v min="$2" 'BEGIN { exit !(v != "" && v >= min) }'; }
# Waits until SECONDS after START (microseconds); false if the program ends first.
program_runs_until() {
  ! wait_until "$(awk -v t="$1" -v s="$2" -v now="$(now_us)" 'BEGIN { print t - (now - s) / 1e6 }')" dead "$program_pid"
}
# Waits up to 15 s for the program to end, reaps it and stops the
# recorders; then REPORT (fail or problem) names an exit status other than
# 0, or anything the program wrote on standard error.
program_ends_cleanly() {
  local report=$1 status
  wait_until 15 dead "$program_pid" || fail "the program did not end within 15 s of its script's end"
  set +e
  wait "$program_pid"
  status=$?
  set -e
  program_pid=""
  cleanup
  [ "$status" -eq 0 ] || "$report" "exit status $status; stderr: $(cat "$run_work/stderr")"
  [ ! -s "$run_work/stderr" ] || "$report" "unexpected messages: $(cat "$run_work/stderr")"
}
# Sets arrival to the music's first sound in a recording, in seconds of the
# recording, and prints the lag tool's line; empty (and a problem) unless
# there is music and most windows match it.
arrival=""
music_arrival() {
  local label=$1 recording=$2 result matched
  result="$("$lag_tool" --channel right --music "$work/bgm1.raw" --loop --seconds 2 "$recording")"
  echo "$label: $result"
  arrival="$(field 'first sound at \([0-9.]*\) s' "$result")"
  [ -n "$arrival" ] || { problem "no music $label"; return 0; }
  matched="$(field '(\([0-9.]*\) % matched)' "$result")"
  at_least "$matched" "$min_matched_percent" || { problem "only $matched % of the windows $label match the music"; arrival=""; }
}

# effects_heard LABEL RESULT MAX_OFFSET [NAME...]: each effect NAMEd (sfx1,
# sfx2 and sfx3 unless told) of the lag tool's RESULT is heard where it was
# started, within MAX_OFFSET seconds.
effects_heard() {
  local label=$1 result=$2 max_offset=$3 name line expected found correlation
  shift 3
  local names=("$@")
  [ ${#names[@]} -gt 0 ] || names=(sfx1 sfx2 sfx3)
  for name in "${names[@]}"; do
    line="$(grep "^effect $name:" <<<"$result")"
    expected="$(field 'expected at \([0-9.]*\) s' "$line")"
    found="$(field 'found at \([0-9.]*\) s' "$line")"
    correlation="$(field 'correlation \([-0-9.]*\)' "$line")"
    awk -v c="$correlation" -v min="$min_effect_correlation" -v e="$expected" -v f="$found" -v d="$max_offset" \
      'BEGIN { exit !(c != "" && c >= min && f - e <= d && e - f <= d) }' ||
      problem "$name $label is not where it was pressed: ${line:-not looked for}"
  done
}

# comes_back LABEL RECORDING READY ANCHOR ANCHOR_BYTES EFFECT_ARGS...: the
# music is back in RECORDING within max_recovery of READY (the time the
# server answered again; ANCHOR is when the recording held ANCHOR_BYTES),
# and the effects pressed since (--effect NAME=FILE@SECONDS, SECONDS in the
# music's time since it began) are heard there.
comes_back() {
  local label=$1 recording=$2 ready=$3 anchor=$4 anchor_bytes=$5 recovery result arg names=()
  shift 5
  for arg in "$@"; do [[ "$arg" != *=* ]] || names+=("${arg%%=*}"); done
  music_arrival "$label" "$recording"
  [ -n "$arrival" ] || return 0
  recovery="$(awk -v a="$anchor" -v b="$anchor_bytes" -v r="$ready" -v f="$arrival" \
    'BEGIN { printf "%.3f", (a - r) / 1e6 - b / 192000 + f }')"
  echo "the music came back $recovery s $label"
  at_least "$max_recovery" "$recovery" ||
    problem "the music took $recovery s to come back $label (at most $max_recovery s)"
  result="$("$lag_tool" --channel right --music "$work/bgm1.raw" --loop --loop-time "$@" "$recording")"
  grep '^effect' <<<"$result" | sed "s/^/$label: /"
  effects_heard "$label" "$result" "$max_effect_offset_after_outage" "${names[@]}"
}

run() {
  thresholds
  local run_work="$work/$driver"
  mkdir "$run_work"
  sound_server_setup "$run_work" || exit 1
  sound_server_start || exit 1
  record_start "$run_work/before.raw" "$SOUND_SINK" || exit 1
  record_start "$run_work/switch.raw" "$SOUND_SINK2" || exit 1

  local started
  started=$(now_us)
  # "native" is the program's own default: its native PipeWire output with a
  # PipeWire server answering, its native PulseAudio output with a
  # PulseAudio server.  Any other name is an SDL driver, through the sdl
  # output.
  local output_env=(VELMO_AUDIO_OUTPUT=sdl SDL_AUDIODRIVER="$driver")
  [ "$driver" != native ] || output_env=(-u VELMO_AUDIO_OUTPUT -u SDL_AUDIODRIVER)
  (cd "$work/sounds" && exec env "${output_env[@]}" \
    "$sample" --headless --script "$work/script.txt" >"$run_work/stdout" 2>"$run_work/stderr") &
  program_pid=$!
  [ "$driver" != native ] || native_stream_check

  # The second sink becomes the default 22 s after the start.  The recording
  # of its monitor holds samples up to about the moment of the switch.
  program_runs_until 22 "$started" || fail "the program ended before the default sink changed: $(cat "$run_work/stderr")"
  local switch_bytes left_bytes
  switch_bytes=$(stat -c %s "$run_work/switch.raw")
  left_bytes=$(stat -c %s "$run_work/before.raw")
  set_default_sink "$SOUND_SINK2" || fail "the server did not take the new default sink within 3 s"

  # The server is killed 25 s after the start, while the music plays.
  program_runs_until 25 "$started" || fail "the program ended before the server was killed: $(cat "$run_work/stderr")"
  sound_server_kill
  record_stop
  sleep 0.5  # the server stays away long enough for the program to notice

  # It comes back with the default the user chose.
  sound_server_start "$SOUND_SINK2" || exit 1
  local ready anchor anchor_bytes
  ready=$(now_us)
  record_start "$run_work/after.raw" "$SOUND_SINK2" || exit 1
  anchor=$(now_us)
  anchor_bytes=$(stat -c %s "$run_work/after.raw")

  # The server stops 35 s after the start, for a second.
  program_runs_until 35 "$started" || fail "the program ended before the server was stopped: $(cat "$run_work/stderr")"
  sound_server_pause "$pause_seconds"
  local resumed pause_anchor pause_anchor_bytes
  resumed=$(now_us)
  record_start "$run_work/after_pause.raw" "$SOUND_SINK2" || exit 1
  pause_anchor=$(now_us)
  pause_anchor_bytes=$(stat -c %s "$run_work/after_pause.raw")

  program_ends_cleanly fail

  # The stream plays 40 dB down on the left (its pan), so the music is
  # followed on the right channel, where it plays at full level.
  local before windows matched
  before="$("$lag_tool" --channel right --music "$work/bgm1.raw" --loop --seconds 20 "${effects[@]}" "$run_work/before.raw")"
  echo "before the switch: $before"
  windows="$(field '; \([0-9]*\) windows of' "$before")"
  matched="$(field '(\([0-9.]*\) % matched)' "$before")"
  if [ -z "$windows" ]; then
    problem "no music in the recording of the default sink"
  else
    [ "$windows" -ge 990 ] || problem "only $windows windows of music before the switch (20 s is 1000)"
    at_least "$matched" "$min_matched_percent" || problem "only $matched % of the windows before the switch match the music"
  fi
  effects_heard "before the switch" "$before" "$max_effect_offset"

  local follow recovery
  music_arrival "on the new default sink" "$run_work/switch.raw"
  if [ -n "$arrival" ]; then
    follow="$(awk -v b="$switch_bytes" -v f="$arrival" 'BEGIN { printf "%.3f", f - b / 192000 }')"
    echo "the music was on the new default sink $follow s after the switch"
    at_least "$follow" -0.05 || problem "the music played on $SOUND_SINK2 $follow s before it became the default"
    at_least "$max_follow" "$follow" ||
      problem "the music took $follow s to follow the new default sink (at most $max_follow s)"
  fi

  # Followed, not doubled: the first sink is silent from a second after the
  # switch until the server was killed.
  local rest
  rest="$(sox -t raw -e signed -b 16 -c 2 -r 48000 "$run_work/before.raw" -n \
    trim "$(awk -v b="$left_bytes" -v d="$max_follow" 'BEGIN { print b / 192000 + d }')" stat 2>&1 |
    sed -n 's/^RMS *amplitude: *//p')"
  echo "the first sink's level from ${max_follow} s after the switch: RMS $rest"
  awk -v r="$rest" 'BEGIN { exit !(r != "" && r < 1e-3) }' ||
    problem "the music still plays on $SOUND_SINK after the switch (RMS $rest)"

  comes_back "after the restart" "$run_work/after.raw" "$ready" "$anchor" "$anchor_bytes" "${effects_after_restart[@]}"
  comes_back "after the pause" "$run_work/after_pause.raw" "$resumed" "$pause_anchor" "$pause_anchor_bytes" \
    "${effects_after_pause[@]}"
}

# The native PipeWire output's own checks and scenarios.
# shellcheck source=native_output_checks.sh
source "$here/native_output_checks.sh"

for driver in "${drivers[@]}"; do
  echo "== $server server, SDL audio driver $driver =="
  case "$driver" in
    native-restarts) run_native_restarts ;;
    native-quantum) run_native_quantum ;;
    *) run ;;
  esac
done
[ "$failures" -eq 0 ] || { echo "$server: $failures checks failed" >&2; exit 1; }
echo "$server, SDL ${drivers[*]}: all checks passed"
