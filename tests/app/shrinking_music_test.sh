#!/usr/bin/env bash
# A music file cut short while velmo-play streams it, into the capture
# output: the player goes on looping what the file has left, never louder
# than the file, and still stops cleanly on Ctrl-C.  Needs sox.
#   shrinking_music_test.sh VELMO_PLAY
set -uo pipefail
player="$1"
work="$(mktemp -d)"
pid=
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
stat_of() {  # FILE FIELD [START LENGTH]: a field of sox's stat
  sox "$1" -n ${3:+trim "$3" "$4"} stat 2>&1 | awk -v f="$2" -F: '$1 ~ f {gsub(/ /, "", $2); print $2}'
}
at_most() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a <= b) }'; }
until_true() {  # TRIES COMMAND...: every 20 ms
  local tries=$1
  shift
  for _ in $(seq "$tries"); do
    "$@" && return 0
    sleep 0.02
  done
  return 1
}

# Two seconds of a quiet tone; its 44-byte header, then the samples.
sox -n -r 44100 -c 2 -b 16 "$work/music.wav" synth 2 sine 440 vol 0.25
file_peak="$(stat_of "$work/music.wav" 'Maximum amplitude')"

VELMO_AUDIO_OUTPUT=capture:"$work/capture.wav" "$player" --loop "$work/music.wav" \
  >"$work/out" 2>"$work/err" </dev/null &
pid=$!
until_true 250 grep -q "loop 1" "$work/out" || fail "it never began to play: $(cat "$work/err")"
# Half a second into the first pass, the file keeps 0.3 s of samples and
# one byte of a frame.
sleep 0.5
truncate -s $((44 + 44100 * 4 * 3 / 10 + 1)) "$work/music.wav"
sleep 2
cpu_ticks="$(awk '{print $14 + $15}' "/proc/$pid/stat")"
kill -INT "$pid"
until_true 250 eval '! kill -0 "$pid" 2>/dev/null' || fail "still running after Ctrl-C"
wait "$pid"
status=$?
pid=
[ "$status" -eq 0 ] || fail "status $status: $(cat "$work/err")"
[ ! -s "$work/err" ] || fail "it said: $(cat "$work/err")"
grep -q "^Stopped after" "$work/out" || fail "no stop line: $(cat "$work/out")"

soxi "$work/capture.wav" >/dev/null 2>&1 || fail "the capture is not a complete WAVE file"
length="$(soxi -D "$work/capture.wav")"
peak="$(stat_of "$work/capture.wav" 'Maximum amplitude')"
tail_rms="$(stat_of "$work/capture.wav" 'RMS +amplitude' "$(awk -v l="$length" 'BEGIN { print l - 0.8 }')" 0.6)"
echo "file peak $file_peak, capture peak $peak over $length s, RMS of the end $tail_rms;" \
  "CPU $cpu_ticks ticks of $(getconf CLK_TCK) a second in about 2.5 s"
at_most "$peak" "$(awk -v p="$file_peak" 'BEGIN { print p + 0.001 }')" || fail "the capture peaks at $peak, the file at $file_peak"
at_most 0.05 "$tail_rms" || fail "the music stopped after the cut (RMS $tail_rms at the end)"
echo "shrinking music: it went on with what was left, no louder than the file"
