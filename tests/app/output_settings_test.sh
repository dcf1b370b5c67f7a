#!/usr/bin/env bash
# What both programs say when sound cannot go where it was asked: a setting
# that makes no sense gets one line naming it, VELMO_DEBUG=1 adds the
# backend's own reason (and nothing without it), and a capture cut short by
# a failed write says so, keeps a valid file and sets velmo-play's status.
#   output_settings_test.sh VELMO_SAMPLE VELMO_PLAY VELMO_MAKE_SAMPLES   (needs sox)
set -uo pipefail
sample=$1 player=$2 make_samples=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/velmo-output-settings.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*" >&2; echo "--- stderr" >&2; cat "$work/err" >&2; failures=$((failures + 1)); }
"$make_samples" "$work" > /dev/null
music=$work/music.wav
sox -n -r 22050 -c 2 -b 16 "$music" synth 0.6 sine 440 vol 0.5
printf 'press Play BGM (BGM1.WAV)\nwait 600\nclose\n' > "$work/script.txt"
play() { env "$@" "$player" "$music" > /dev/null 2> "$work/err" < /dev/null; status=$?; }
sample() { (cd "$work" && env "$@" "$sample" --headless --script "$work/script.txt" > /dev/null 2> "$work/err"); status=$?; }

# Each bad setting: the start-up box as before, and one line naming the
# variable, its value and what it takes.
tab=$'\t'
for setting in "VELMO_AUDIO_OUTPUT=bogus|sdl, pipewire, pulseaudio, null or capture:PATH" \
               "VELMO_OUTPUT_RATE=abc|8000 to 192000" "VELMO_LATENCY_MS=20ms|5 to 500" \
               "VELMO_AUDIO_DEVICE=a${tab}b|--list-devices"; do
  assignment=${setting%%|*} accepts=${setting#*|}
  variable=${assignment%%=*}
  shown=${assignment//$tab/\\x09}
  for program in play sample; do
    others=(VELMO_AUDIO_OUTPUT=null)
    [ "$variable" = VELMO_AUDIO_OUTPUT ] && others=()
    $program "${others[@]}" "$assignment"
    [ "$(grep -c "^velmo: $variable=" "$work/err")" -eq 1 ] &&
      grep -qF "velmo: $shown is not accepted; it takes" "$work/err" && grep -qF -- "$accepts" "$work/err" &&
      grep -q "ACM Metrics failed" "$work/err" || fail "$program with $shown"
  done
  [ "$status" -eq 0 ] || fail "velmo-sample's status with $shown was $status"
done
play VELMO_AUDIO_OUTPUT=null VELMO_OUTPUT_RATE=abc
[ "$status" -eq 1 ] || fail "velmo-play's status with a bad rate was $status"

# VELMO_DEBUG=1: the backend's reason in one line; without it, nothing more.
missing=$work/no-such-folder/out.wav
for debug in 0 1; do
  for program in play sample; do
    $program VELMO_DEBUG=$debug VELMO_AUDIO_OUTPUT=capture:"$missing"
    reason=$(grep -c "^velmo: the capture output did not open: $missing: No such file or directory$" "$work/err")
    [ "$reason" -eq "$debug" ] || fail "$program, VELMO_DEBUG=$debug, capture reason shown $reason times"
    $program VELMO_DEBUG=$debug VELMO_AUDIO_OUTPUT=sdl SDL_AUDIODRIVER=velmo-no-such-driver
    reason=$(grep -c "^velmo: the sdl output did not open: .*velmo-no-such-driver" "$work/err")
    [ "$reason" -eq "$debug" ] || fail "$program, VELMO_DEBUG=$debug, SDL's reason shown $reason times"
    $program VELMO_DEBUG=$debug VELMO_AUDIO_OUTPUT=pipewire XDG_RUNTIME_DIR="$work" PIPEWIRE_REMOTE=
    reason=$(grep -c "^velmo: the pipewire output did not open: no server answers at $work/pipewire-0: " "$work/err")
    [ "$reason" -eq "$debug" ] || fail "$program, VELMO_DEBUG=$debug, PipeWire's reason shown $reason times"
  done
done

# A capture whose writes start failing part-way (the file size limit, as a
# full disk would): a valid file holding what was written, one line saying
# how much, velmo-play's status 1 and velmo-sample's 0.
cut_short() {  # PROGRAM ENV...: run with a 48 KiB file size limit
  (trap '' XFSZ; ulimit -f 48; $1 "${@:2}"; exit "$status")
  status=$?
}
for program in play sample; do
  cut_short $program VELMO_AUDIO_OUTPUT=capture:"$work/cut.wav"
  [ "$program" = play ] && wanted=1 || wanted=0
  [ "$status" -eq "$wanted" ] || fail "$program's status for a capture cut short was $status"
  seconds=$(soxi -D "$work/cut.wav" 2> /dev/null) || { fail "$program left no valid WAVE file"; continue; }
  seconds=$(printf '%.2f' "$seconds")
  [ "$(grep -c "^velmo: the capture $work/cut.wav was not written whole (File too large); it holds $seconds s$" \
      "$work/err")" -eq 1 ] || fail "$program's line for a capture cut short (the file holds $seconds s)"
done

[ "$failures" -eq 0 ] && echo "output settings: all checks passed"
exit $((failures > 0))
