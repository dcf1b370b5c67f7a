#!/usr/bin/env bash
# velmo-play end to end, into the capture output: its exit statuses (0
# played, 1 cannot play, 2 usage), its plain-line output, and Ctrl-C, which
# must stop it cleanly with a complete capture file.  Needs sox.
#   velmo_play_test.sh PATH/TO/velmo-play
set -uo pipefail
player=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/velmo-play-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
passed=0

check() {  # check NAME CONDITION...
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failures=$((failures + 1))
    echo "FAILED: $name" >&2
    echo "--- stdout" >&2; cat "$work/out" >&2
    echo "--- stderr" >&2; cat "$work/err" >&2
  fi
}
contains() { grep -q -- "$2" "$1"; }
run() {  # run ARGS...: velmo-play into the capture file, status in $status
  VELMO_AUDIO_OUTPUT=capture:"$work/capture.wav" "$player" "$@" > "$work/out" 2> "$work/err" < /dev/null
  status=$?
}
seconds_of() { soxi -D "$1" 2> /dev/null || echo 0; }
at_least() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a >= b) }'; }

sox -n -r 22050 -c 2 -b 16 "$work/music.wav" synth 0.6 sine 440 vol 0.5
sox -n -r 11025 -c 1 -b 8 "$work/effect.wav" synth 0.2 square 880 vol 0.5
printf 'not a wave file' > "$work/text.wav"

# Usage errors: 2, with the usage on standard error and nothing played.
run
check "no music file exits 2" test "$status" -eq 2
check "no music file shows the usage" contains "$work/err" "usage: velmo-play"
run --volume 3 "$work/music.wav"
check "an unknown option exits 2" test "$status" -eq 2
check "an unknown option is named" contains "$work/err" "unknown option --volume"
run "$work/music.wav" "$work/music.wav"
check "two music files exit 2" test "$status" -eq 2
run --effect
check "--effect without a file exits 2" test "$status" -eq 2
run --help
check "--help exits 0" test "$status" -eq 0
check "--help prints the usage" contains "$work/out" "usage: velmo-play"

# Files that cannot be played: 1, with the library's own word for why.
run "$work/missing.wav"
check "missing music exits 1" test "$status" -eq 1
check "missing music is reported by the reader's result" contains "$work/err" "WaveErrOpenFailed"
run "$work/text.wav"
check "a text file as music exits 1" test "$status" -eq 1
check "a text file as music is reported as a bad file" contains "$work/err" "WaveErrBadFile"
run --effect "$work/text.wav" "$work/music.wav"
check "a text file as effect exits 1" test "$status" -eq 1
check "a text file as effect gets the library's message" contains "$work/err" "Bad wave file"
check "a text file as effect is named" contains "$work/err" "cannot play the effect $work/text.wav"

# Played once with an effect: 0, plain lines, the whole music captured.
run --effect "$work/effect.wav" "$work/music.wav"
check "playing once exits 0" test "$status" -eq 0
check "the music is announced" contains "$work/out" "Playing $work/music.wav (0:00.6, 22050 Hz 16-bit stereo), once"
check "the effect is announced" contains "$work/out" "Effect $work/effect.wav (0:00.2, 11025 Hz 8-bit mono)"
check "the first loop is a plain line" contains "$work/out" "^  0:00.0  loop 1$"
check "a single pass has no second loop" bash -c "! grep -q 'loop 2' '$work/out'"
check "the end is reported" contains "$work/out" "^Finished after 0:00.[67]$"
check "no terminal control codes in plain output" bash -c "! grep -q \$'[\\r\\033]' '$work/out'"
check "the capture holds the whole music" at_least "$(seconds_of "$work/capture.wav")" 0.6
check "nothing on standard error" test ! -s "$work/err"

# Looping until Ctrl-C: the second loop begins, SIGINT stops it, exit 0.
VELMO_AUDIO_OUTPUT=capture:"$work/capture.wav" "$player" --loop "$work/music.wav" > "$work/out" 2> "$work/err" &
pid=$!
for _ in $(seq 200); do  # up to 10 s for the second loop to begin
  grep -q "loop 2" "$work/out" && break
  sleep 0.05
done
kill -INT "$pid"
for _ in $(seq 100); do  # up to 5 s to stop
  kill -0 "$pid" 2> /dev/null || break
  sleep 0.05
done
kill -KILL "$pid" 2> /dev/null && echo "velmo-play did not stop on SIGINT" >> "$work/err"
wait "$pid"
status=$?
check "Ctrl-C stops the loop and exits 0" test "$status" -eq 0
check "the loop had begun again before Ctrl-C" contains "$work/out" "^  0:00.6  loop 2$"
check "the stop is reported" contains "$work/out" "^Stopped after .*, in loop [2-9]$"
check "the capture is complete and holds the two loops" at_least "$(seconds_of "$work/capture.wav")" 0.6

echo "velmo_play_test: $passed passed, $failures failed"
[ "$failures" -eq 0 ]
